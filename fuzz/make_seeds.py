#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the wire bytes and files of the protocol's own examples; run
again after a change of this script. Crash inputs kept as regression cases
(named crash-*) are not touched.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16_arc(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(code, body=b""):
    raw = b"\x02" + code.encode() + body
    crc = crc16_arc(raw)
    out = bytearray()
    for byte in raw + bytes([crc & 0xFF, crc >> 8]):
        if byte == 0xFA:
            out.append(0x10)
        out.append(byte)
    return bytes(out) + b"\x03\xfa"


def answer(code, payload=b"", status=0x06):
    return frame(code, bytes([status]) + payload)


def server_frame(code, payload=b"", sequence=0, marker=0xFF):
    packet = struct.pack("<BiiqB", 0xFF, code, len(payload), sequence, 0xFE) + payload
    header = bytearray(21)
    header[0] = marker
    struct.pack_into("<i", header, 5, len(packet))
    struct.pack_into("<i", header, 17, len(packet))
    return bytes(header) + packet


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


# The library's frame parser: the examples, a frame with a stuffed CRC byte,
# a bad CRC, noise before a frame, and a frame too long for the buffer.
assert frame("S0") == bytes.fromhex("0253309D2403FA")
assert answer("S2", b"\x05") == bytes.fromhex("02533206050AE803FA")
assert frame("S5", b"\x00\x01\xe1") == bytes.fromhex("025335 0001E1 4B10FA 03FA".replace(" ", ""))
write("frame_parser", "request_s0", frame("S0"))
write("frame_parser", "answer_s2", answer("S2", b"\x05"))
write("frame_parser", "request_s5_stuffed_crc", frame("S5", b"\x00\x01\xe1"))
write("frame_parser", "bad_crc_then_good",
      bytes.fromhex("0253309D2503FA") + answer("D0", b"\x02\x00"))
write("frame_parser", "noise_lone_end_then_frame", b"\x55\xaa\xfa\x10" + answer("S0", bytes(7)))
write("frame_parser", "too_long", frame("H4", bytes(range(256))[:140]) + frame("S0"))

# The answer handlers: first byte 1 = session open (changes logged), 2 = a
# message is held and taken. Answers of every kind that has a handler.
clock = bytes([48, 30, 10, 9, 7]) + struct.pack("<H", 2003)
message = bytes.fromhex("00 00 07 B2 04".replace(" ", "")) + bytes(8)
write("answer_handlers", "init_sequence", b"\x01" +
      answer("S3", bytes([8, 1, 0, 0, 0x30, 0x39])) +
      answer("H0", bytes([8, 1, 1, 0, 0, 0, 0, 0, 0])) +
      answer("H1", bytes([8, 0, 5, 0, 0, 0, 0, 0, 0])) +
      answer("S2", b"\x05") + answer("S0", clock) + answer("D0", b"\x01\x00"))
write("answer_handlers", "poll_with_message", b"\x01" +
      answer("S0", clock) + answer("S2", b"\x02") + answer("H1", bytes([2, 0, 0])) +
      answer("D0", b"\x01\x00") + answer("D1", bytes([len(message)]) + message))
write("answer_handlers", "acknowledge_and_refusals", b"\x03" +
      answer("D2", b"\x00\x00") + answer("D1", b"", 0x18) + answer("D1", b"\x00") +
      answer("S5", b"\x07") + answer("H4", bytes(34)) + answer("S9", b"", 0x18))
write("answer_handlers", "counts_larger_than_tables", b"\x01" +
      answer("H0", bytes([200]) + bytes(range(1, 20))) +
      answer("D1", bytes([255]) + bytes(range(40))) + answer("S0", b"\x01\x02"))

# The server reply reader: first byte sets how reads are split (0 = whole).
accepted = server_frame(0x02000003)
write("server_reply", "accepted", b"\x00" + accepted)
write("server_reply", "query_then_spool_ack_split",
      b"\x37" + server_frame(0x02000004, sequence=7) + server_frame(0x03000007, b"xy", 8))
write("server_reply", "alternate_marker_drop", b"\x00" + server_frame(0x02FFFFFE, marker=0xF0))
write("server_reply", "zero_length_wrong_marker_then_test",
      b"\x00" + bytes(21) + b"\x11" + bytes(20) + server_frame(0x02000000))
write("server_reply", "two_chunk_body_closed",
      b"\x80" + server_frame(0x03000017, bytes(60000)))
negative = bytearray(accepted)
struct.pack_into("<i", negative, 5, -5)
write("server_reply", "negative_length", b"\x00" + bytes(negative))

# The local TCP service's lines: first byte sets the queue room (low nibble)
# and the piece size.
slot_line = b"12:00:00 R(1) Slot01 t 0002520000000000000000000004 07\r\n"
write("slot_lines", "slot_then_empty", b"\x0f" + slot_line + b"\r\n")
write("slot_lines", "duplicate_and_answer_line_end",
      b"\x1f" + slot_line + slot_line + b"10:00:01 R(2) Slot02#3 t 00ABCDEF 1F\r\n\r\n")
write("slot_lines", "full_queue", b"\x00" + slot_line + b"\r\n")
write("slot_lines", "no_line_feed_then_long", b"\x2f" + b"Slot" * 1100 + b"\n" + slot_line)

# sost.mem: whole records of 29 bytes (key, subaddress, OLE date, two matrices).
def zone_record(key, subaddress, date, current, previous=bytes(8)):
    return struct.pack("<iBd", key, subaddress, date) + bytes(current) + bytes(previous)

write("zone_state", "empty", b"")
write("zone_state", "two_records", zone_record(37, 0, 45000.5, [0] * 7 + [1]) +
      zone_record(9037, 2, 45000.25, [0x80] + [0] * 7, [0] * 7 + [1]))
write("zone_state", "pair_twice_and_partial", zone_record(5, 1, 45000.0, [0] * 8) +
      zone_record(5, 1, 44000.0, [0xFF] * 8) + b"\x01\x02\x03")
write("zone_state", "dates_not_dates",
      zone_record(1, 0, float("nan"), [1] * 8) + zone_record(2, 0, float("inf"), [2] * 8) +
      zone_record(3, 0, -1e300, [3] * 8) + zone_record(-1, 255, 1e9, [4] * 8))

# Spool files: first byte 1 = a second, shorter copy, 2 = a leftover temporary.
event = struct.pack("<BBB", 23, 0, 0) + b"\x041130" + struct.pack("<iiHBd", 10037, 10037, 1, 0,
                                                                   45000.5)
assert len(event) == 27
measurement = struct.pack("<id", 10037, 45000.5) + bytes([1, 2, 3, 4, 5, 6, 7, 8]) + bytes(3)
assert len(measurement) == 23
write("spool_resend", "event", b"\x00" + struct.pack("<i", 0x03000017) + event)
write("spool_resend", "measurement_with_leftover",
      b"\x03" + struct.pack("<i", 0x03000011) + measurement)
write("spool_resend", "too_short", b"\x01\x17\x00\x00")
write("spool_resend", "foreign_code", b"\x02" + struct.pack("<i", 0x02000000) + b"abc")

# tessard.ini.
write("profile_file", "typical",
      b"[main]\nComPort=COM3\nn_abs=-1\nname=-1\nFirstNumber=1\nPathForSoob=spool/\n"
      b"Attention=00:10:00\nTcpPort=8901\n\n[ServerHost]\nAddress=127.0.0.1\nPort=12543\n"
      b"PacketSize=2000\n")
write("profile_file", "bom_crlf_quotes_hex",
      b"\xef\xbb\xbf; driver\r\n[MAIN]\r\n  comport = \"COM12\" \r\nFirstNumber=$1F\r\n"
      b"TcpPort=0x2000\r\nAttention=1:05\r\n")
write("profile_file", "no_main_no_newline", b"[ServerHost]\nPort=-1\n[other]\nComPort=COM9")
write("profile_file", "key_twice_bad_numbers",
      b"[main]\nComPort=\nComPort=COM4\nFirstNumber=99999999999\nTcpPort=70000\n"
      b"Attention=25:00\n[main]\nname=x\n")
