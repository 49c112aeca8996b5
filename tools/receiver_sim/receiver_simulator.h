// A receiver simulator: consumes request frames and produces the answer frames
// of a receiver with a clock, power status, eight slots and a message store.
// Fault switches make it misbehave the ways a real line does. Thread-safe: the
// line side and a test or console side may call it at the same time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frame.h"
#include "zntlink.h"

namespace tessar::tools {

enum class Fault {
  kSilent,               // answer nothing
  kStatusRetry,          // answer with status 0x15
  kStatusRefused,        // answer with status 0x18
  kCorruptCrc,           // answer with one CRC bit flipped
  kNoiseBefore,          // send a few noise bytes before the answer
  kLoneEndMarkerBefore,  // send a lone 0xFA before the answer
  kWrongCode,            // answer with another request code
  kCtsOff,               // the simulated CTS line is off
};

struct ReceivedRequest {
  std::string code;              // two letters, e.g. "S0"
  std::vector<uint8_t> payload;  // request payload as sent
};

class ReceiverSimulator {
 public:
  using Bytes = std::vector<uint8_t>;

  ReceiverSimulator();

  // Feeds bytes from the line; appends the answer frames they call for.
  void Receive(const uint8_t* data, size_t length, Bytes& answer);

  // A switch stays as set; SetFaultForAnswers arms a fault for the next
  // `answers` answers only, after which it switches itself off.
  void SetFault(Fault fault, bool on);
  void SetFaultForAnswers(Fault fault, int answers);
  // Arms a fault for the next `answers` requests with this code only.
  void SetFaultForCode(Fault fault, const std::string& code, int answers);
  bool FaultOn(Fault fault) const;
  bool Cts() const;  // false while kCtsOff is on

  void SetPowerStatus(uint8_t status);
  uint8_t PowerStatus() const;
  void SetFirmware(uint8_t major, uint8_t minor, uint32_t serial);
  void SetSlotInfo(const std::array<uint8_t, 8>& info);
  void SetSlotStatus(const std::array<uint8_t, 8>& status);
  std::array<uint8_t, 8> SlotStatus() const;
  // The password that S4, H3, H5 and H6 must carry (default "0000").
  void SetPassword(const std::array<uint8_t, 4>& password);

  // The receiver clock runs from the time source (local time by default);
  // S1 and SetClock move it by an offset.
  void SetTimeSource(std::function<SYSTEMTIME()> source);
  void SetClock(const SYSTEMTIME& time);
  SYSTEMTIME Clock() const;

  // Stores one message of L raw bytes (byte 0 slot/kind, 1-7 time stamp, body).
  void AddMessage(const Bytes& message);
  size_t StoredMessages() const;
  // A kind-2 (11 bytes) or kind-3 (21 bytes) message stamped with `time`.
  static Bytes Kind2Message(uint8_t slot, const SYSTEMTIME& time,
                            const std::array<uint8_t, 3>& body);
  static Bytes Kind3Message(uint8_t slot, const SYSTEMTIME& time,
                            const std::array<uint8_t, 13>& body);

  // Every request received with a good frame, oldest first.
  std::vector<ReceivedRequest> Requests() const;
  std::vector<std::string> RequestCodes() const;
  void ClearRequests();

  // Values kept from write requests, for tests to read back.
  uint8_t SystemValue(unsigned index) const;  // S5
  uint8_t RtcDayOfWeek() const;               // S6
  uint8_t RtcOption() const;                  // S7
  int ShutdownMode() const;                   // S9, -1 when none was sent

  // Called with each request and each answer, one line of text each (for the
  // console program's verbose mode).
  void SetTraceSink(std::function<void(const std::string&)> sink);

 private:
  static constexpr size_t kFaultCount = static_cast<size_t>(Fault::kCtsOff) + 1;
  static constexpr size_t kSlots = 8;
  static constexpr size_t kSetupCapacity = 15;
  static constexpr size_t kMaskSets = 17;  // mask numbers 0-16
  static constexpr size_t kMaskBytes = 32;
  static constexpr size_t kSystemValues = 5;

  struct FaultState {
    bool on = false;
    int remaining = 0;  // answers left when counted; 0 means until switched off
    std::string code;   // only requests with this code; empty: every request
  };

  // What a request calls for before any fault is applied.
  struct Reply {
    uint8_t status = zntlink::kStatusAccepted;
    Bytes payload;
  };

  // Each *Locked helper expects mutex_ to be held.
  void HandleFrameLocked(const uint8_t* content, size_t length, Bytes& answer,
                         std::vector<std::string>& trace);
  Reply ExecuteLocked(const std::string& code, const Bytes& payload);
  bool PasswordMatchesLocked(const Bytes& payload) const;
  bool FaultOnLocked(Fault fault, const std::string& code = {}) const;
  void CountDownLocked(Fault fault, const std::string& code);
  int64_t NowSecondsLocked() const;

  mutable std::mutex mutex_;
  zntlink::FrameParser parser_;
  std::array<FaultState, kFaultCount> faults_{};
  std::function<SYSTEMTIME()> timeSource_;
  int64_t clockOffset_ = 0;  // seconds added to the time source
  uint8_t power_ = 0x06;
  uint8_t firmwareMajor_ = 2;
  uint8_t firmwareMinor_ = 5;
  uint32_t serial_ = 0x00012345;
  std::array<uint8_t, kSlots> slotInfo_{};
  std::array<uint8_t, kSlots> slotStatus_{};
  std::array<Bytes, kSlots> setup_;
  std::array<std::array<std::array<uint8_t, kMaskBytes>, kMaskSets>, kSlots> masks_{};
  std::array<uint8_t, kSlots> slotMode_{};
  std::array<uint8_t, 4> password_{};
  std::deque<Bytes> messages_;     // oldest first
  bool messageDelivered_ = false;  // a D1 delivered messages_.front() since the last D2
  std::array<uint8_t, kSystemValues> systemValues_{};
  uint8_t rtcDayOfWeek_ = 1;
  uint8_t rtcOption_ = 0;
  int shutdownMode_ = -1;
  std::vector<ReceivedRequest> requests_;
  std::function<void(const std::string&)> traceSink_;
};

}  // namespace tessar::tools
