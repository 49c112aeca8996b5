// The exported functions: argument checks, the getters over the session's copy
// of the receiver state, and the calling side of the request handshake.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>

#include "log.h"
#include "platform/clock.h"
#include "requests.h"
#include "session.h"
#include "texts.h"
#include "timing.h"
#include "transport.h"
#include "zntlink.h"

using namespace zntlink;

namespace {

constexpr int kTroublesLinkActive = 0x10000000;
constexpr unsigned kMaskCount = 32;
constexpr unsigned kMaxMaskNumber = 16;
constexpr unsigned kMaxSetupLength = 16;
constexpr unsigned kSystemValueCount = 5;
constexpr size_t kRecordHeaderSize = 10;
constexpr size_t kMessageHeaderSize = 8;

// Library-wide: the request buffer of the slot-setup, slot-mask, slot-mode and
// password requests (ZNT_GetSlotSetup's result points into it), and the record
// ZNT_GetSlotMasks returns. The mutex keeps requests from different sessions
// from using them at the same moment.
std::mutex sharedBufferMutex;
uint8_t sharedRequestBuffer[kFrameBufferSize];
SlotMasks sharedSlotMasks;

bool Active(CommSession* s) {
  return s != nullptr && s->linkUp == 1;
}

// Fails a check: the session's error code becomes `error`.
template <typename T>
T Refuse(CommSession* s, int error, T failure) {
  if (s != nullptr)
    s->lastError = error;
  return failure;
}

// Holds the session's request slot for one request operation. Taken before
// anything else the request needs (the library-wide buffer included), so a
// second request on the same session fails at once instead of waiting.
class SlotClaim {
 public:
  explicit SlotClaim(CommSession& s) : slot_(s.request) {
    std::lock_guard lock(slot_.mutex);
    held_ = !slot_.claimed;
    slot_.claimed = true;
  }
  ~SlotClaim() {
    if (!held_)
      return;
    std::lock_guard lock(slot_.mutex);
    slot_.claimed = false;
  }
  SlotClaim(const SlotClaim&) = delete;
  SlotClaim& operator=(const SlotClaim&) = delete;

  explicit operator bool() const { return held_; }

 private:
  RequestSlot& slot_;
  bool held_ = false;
};

struct Answer {
  int transaction = 0;  // 1: the receiver answered with 0x06 or 0x18
  size_t length = 0;    // answer content length (code, status, payload)
};

// Hands one request to the LINK thread and waits for its answer; the caller
// holds the slot's claim. The payload lies at the start of `buffer`
// (kFrameBufferSize bytes); on success the answer content replaces it.
Answer Handshake(CommSession& s, RequestKind kind, uint8_t* buffer, size_t length) {
  Answer answer;
  RequestSlot& slot = s.request;
  std::unique_lock lock(slot.mutex);
  const uint32_t ticket = ++slot.ticket;
  slot.kind = kind;
  slot.length = static_cast<uint16_t>(std::min(length, sizeof slot.buffer));
  std::memcpy(slot.buffer, buffer, slot.length);
  slot.result = 0;
  slot.done = false;
  slot.pending = true;
  s.requestEvent.Set();
  const bool answered =
      slot.answered.wait_for(lock, std::chrono::milliseconds(Timing().requestWaitMs.load()),
                             [&] { return slot.done && slot.ticket == ticket; });
  slot.pending = false;
  if (!answered) {
    // The LINK thread may still be working on it; it will find nobody waiting.
    lock.unlock();
    SessionLogEntry(s.port, "QueryTimeout\r\n");
    return answer;
  }
  slot.done = false;
  answer.transaction = slot.result;
  answer.length = std::min<size_t>(slot.length, kFrameBufferSize);
  if (answer.transaction == 1) {
    std::memcpy(buffer, slot.buffer, answer.length);
    std::memset(buffer + answer.length, 0, kFrameBufferSize - answer.length);
  }
  slot.result = 0;
  return answer;
}

int StatusResult(const Answer& a, const uint8_t* buffer) {
  if (a.transaction != 1)
    return 0;
  if (buffer[2] == kStatusAccepted)
    return 1;
  if (buffer[2] == kStatusRefused)
    return 2;
  return 0;
}

// An answer without a payload byte has no value to give.
int ValueResult(const Answer& a, const uint8_t* buffer) {
  return a.transaction == 1 && a.length > 3 ? buffer[3] : -1;
}

int TransactionRequest(CommSession* s, RequestKind kind, std::initializer_list<uint8_t> payload) {
  SlotClaim claim(*s);
  if (!claim)
    return 0;
  uint8_t buffer[kFrameBufferSize] = {};
  std::copy(payload.begin(), payload.end(), buffer);
  return Handshake(*s, kind, buffer, payload.size()).transaction;
}

int ValueRequest(CommSession* s, RequestKind kind, std::initializer_list<uint8_t> payload) {
  SlotClaim claim(*s);
  if (!claim)
    return -1;
  uint8_t buffer[kFrameBufferSize] = {};
  std::copy(payload.begin(), payload.end(), buffer);
  return ValueResult(Handshake(*s, kind, buffer, payload.size()), buffer);
}

uint8_t Low(int value) {
  return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

extern "C" {

// ---- Session management ----

CommSession* ZNT_CALL ZNT_InitCommEx(int port, int baudRate, int* error) {
  int code = ZNT_ERR_RESOURCE;
  CommSession* s = nullptr;
  try {
    s = CreateSession();
    if (s == nullptr) {
      if (error != nullptr)
        *error = code;
      return nullptr;
    }
    std::lock_guard lifecycle(s->lifecycle);
    DebugLine("Memory allocated\n");
    std::string failure;
    s->serialPort = OpenSerialPort(port, &failure);
    if (!s->serialPort)
      DebugFailureLine("Port open failed: " + failure + "\n");
    if (s->serialPort) {
      DebugSwitchOn();
      DebugLine("Port opened,HANDLE= 0x%lx\n", static_cast<unsigned long>(s->serialPort->Handle()));
      DebugLine("Frame environment created\n");
      DebugLine("Events created\n");
      if (!ConfigurePort(*s, static_cast<uint32_t>(baudRate))) {
        code = ZNT_ERR_LINE_SETTINGS;
      } else {
        s->port = port & 0xFF;
        if (StartThreads(*s)) {
          s->sessionOpen = 1;
          FirmwareInfo firmware{};
          {
            std::lock_guard guard(s->stateGuard);
            firmware = {s->receiver.firmwareMajor, s->receiver.firmwareMinor,
                        s->receiver.serialNumber};
          }
          TextBuffer text;
          SessionLogEntry(s->port, RenderSessionEstablished(text, LocalNow(), firmware.major,
                                                            firmware.minor, firmware.serial));
          if (error != nullptr)
            *error = ZNT_OK;
          return s;
        }
        ClosePort(*s);
        code = ZNT_ERR_LINK;
      }
      if (s->serialPort)
        s->serialPort->Close();
      s->serialPort.reset();
    }
  } catch (...) {
    if (s != nullptr && s->serialPort) {
      StopThreads(*s);
      s->serialPort->Close();
      s->serialPort.reset();
    }
  }
  if (s != nullptr)
    DestroySession(s);
  if (error != nullptr)
    *error = code;
  return nullptr;
}

CommSession* ZNT_CALL ZNT_InitComm(int port) {
  int discarded = 0;
  return ZNT_InitCommEx(port, 9600, &discarded);
}

int ZNT_CALL ZNT_CloseComm(CommSession* s) {
  if (s == nullptr)
    return 0;
  try {
    std::lock_guard lifecycle(s->lifecycle);
    if (!s->serialPort)
      return 0;
    StopThreads(*s);
    ClosePort(*s);
    s->linkUp = 0;
    return 1;
  } catch (...) {
    return 0;
  }
}

int ZNT_CALL ZNT_GetLastError(CommSession* s) {
  return s == nullptr ? 0 : s->lastError.load();
}

int ZNT_CALL ZNT_GetActivity(CommSession* s) {
  return Active(s) ? 1 : 0;
}

int ZNT_CALL ZNT_GetCommPort(CommSession* s) {
  return s == nullptr ? 0 : s->port.load();
}

int ZNT_CALL ZNT_GetTimeouts(CommSession* s, LinkTimeouts* out) {
  if (s == nullptr)
    return 0;
  if (out != nullptr) {
    uint32_t values[7];
    for (size_t i = 0; i < 7; ++i)
      values[i] = s->timeouts[i];
    std::memcpy(out, values, sizeof values);
  }
  return 1;
}

int ZNT_CALL ZNT_SetTimeouts(CommSession* s, const LinkTimeouts* in) {
  if (s == nullptr)
    return 0;
  if (in != nullptr) {
    uint32_t values[7];
    std::memcpy(values, in, sizeof values);
    for (size_t i = 0; i < 7; ++i)
      s->timeouts[i] = values[i];
  }
  return 1;
}

int ZNT_CALL ZNT_GetStatistics(CommSession* s, const LinkStatistics* stats) {
  if (s == nullptr || stats == nullptr)
    return 0;
  const uint32_t values[kStatisticCount] = {stats->TxFrm, stats->RxFrm, stats->Crc,
                                            stats->TmOut, stats->Link,  stats->Msg};
  for (size_t i = 0; i < kStatisticCount; ++i)
    s->statistics[i] = values[i];
  return 1;
}

// ---- Getters ----

int ZNT_CALL ZNT_GetFirmware(CommSession* s, FirmwareInfo* out) {
  if (!Active(s) || out == nullptr)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  std::lock_guard guard(s->stateGuard);
  out->major = s->receiver.firmwareMajor;
  out->minor = s->receiver.firmwareMinor;
  out->serial = s->receiver.serialNumber;
  return 1;
}

int ZNT_CALL ZNT_GetTime(CommSession* s, SYSTEMTIME* out) {
  if (!Active(s) || out == nullptr)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  std::lock_guard guard(s->stateGuard);
  const uint8_t* c = s->receiver.clock;
  out->wSecond = c[0];
  out->wMinute = c[1];
  out->wHour = c[2];
  out->wDay = c[3];
  out->wMonth = c[4];
  out->wYear = static_cast<uint16_t>(c[5] | c[6] << 8);
  return 1;
}

int ZNT_CALL ZNT_GetTroubles(CommSession* s) {
  if (s == nullptr)
    return 0;
  int power;
  {
    std::lock_guard guard(s->stateGuard);
    power = s->receiver.powerStatus;
  }
  if (!Active(s))
    return Refuse(s, ZNT_ERR_ARGUMENT, power);
  return power | kTroublesLinkActive;
}

int ZNT_CALL ZNT_GetSlotNum(CommSession*) {
  return static_cast<int>(kSlotCount);
}

int ZNT_CALL ZNT_GetSlotNumActive(CommSession* s) {
  if (!Active(s))
    return Refuse(s, ZNT_ERR_ARGUMENT, -1);
  std::lock_guard guard(s->stateGuard);
  int active = 0;
  for (size_t i = 0; i < kSlotCount; ++i) {
    if ((s->receiver.slotInformation[i] & 0x0F) != 0 && (s->receiver.slotStatus[i] & 0x07) == 0) {
      ++active;
    }
  }
  return active;
}

int ZNT_CALL ZNT_GetSlotInfo(CommSession* s, SlotInfo* out) {
  if (!Active(s) || out == nullptr)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  std::lock_guard guard(s->stateGuard);
  for (size_t i = 0; i < kSlotCount; ++i) {
    out->slots[i].type = s->receiver.slotInformation[i] & 0x0F;
    out->slots[i].status = s->receiver.slotStatus[i];
  }
  return 1;
}

int ZNT_CALL ZNT_GetMsgNum(CommSession* s) {
  if (!Active(s))
    return 0;
  std::lock_guard guard(s->stateGuard);
  return s->receiver.messageCount;
}

int ZNT_CALL ZNT_GetMsg(CommSession* s, ReceiverMessage* out) {
  if (!Active(s))
    return 0;
  {
    std::lock_guard guard(s->stateGuard);
    ReceiverState& r = s->receiver;
    if (r.messageCount == 0 || !r.messagePresent)
      return 0;
    if (out == nullptr)
      return Refuse(s, ZNT_ERR_ARGUMENT, 0);
    // Header from message bytes 0-8 (missing bytes of a short message read
    // as 0), then the body from byte 8 on.
    const size_t length = r.messageLength;
    auto at = [&](size_t i) -> uint8_t { return i < length ? r.message[i] : 0; };
    uint8_t record[sizeof(ReceiverMessage)] = {};
    record[0] = at(8);
    record[1] = at(0) & 0x0F;
    record[2] = at(0) >> 4;
    for (size_t i = 1; i < kMessageHeaderSize; ++i)
      record[2 + i] = at(i);
    // Never more than the record the header declares: a longer body is cut at
    // the 13 bytes of the longest message kind the caller decodes.
    const size_t bodyLength =
        std::min(length > kMessageHeaderSize ? length - kMessageHeaderSize : 0,
                 sizeof record - kRecordHeaderSize);
    std::memcpy(record + kRecordHeaderSize, r.message + kMessageHeaderSize, bodyLength);
    std::memcpy(out, record, kRecordHeaderSize + bodyLength);
    r.messageTaken = true;
    r.messagePresent = false;
  }
  s->Count(kMsg);
  return 1;
}

// ---- Requests ----

int ZNT_CALL ZNT_SetTime(CommSession* s, const SYSTEMTIME* time) {
  if (!Active(s) || time == nullptr)
    return Refuse(s, ZNT_ERR_TIME, 0);
  return TransactionRequest(
      s, kRequestS1,
      {Low(time->wSecond), Low(time->wMinute), Low(time->wHour), Low(time->wDay), Low(time->wMonth),
       Low(time->wYear), static_cast<uint8_t>(time->wYear >> 8)});
}

int ZNT_CALL ZNT_SetSystemTime(CommSession* s) {
  const SYSTEMTIME now = LocalNow();
  return ZNT_SetTime(s, &now);
}

int ZNT_CALL ZNT_ChangePassword(CommSession* s, const uint8_t* password,
                                const uint8_t* newPassword) {
  if (!Active(s) || password == nullptr || newPassword == nullptr) {
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  }
  SlotClaim claim(*s);
  if (!claim)
    return 0;
  std::lock_guard shared(sharedBufferMutex);
  std::memcpy(sharedRequestBuffer, password, 4);
  std::memcpy(sharedRequestBuffer + 4, newPassword, 4);
  return StatusResult(Handshake(*s, kRequestS4, sharedRequestBuffer, 8), sharedRequestBuffer);
}

const uint8_t* ZNT_CALL ZNT_GetSlotSetup(CommSession* s, unsigned slot) {
  if (!Active(s) || slot >= kSlotCount)
    return Refuse<const uint8_t*>(s, ZNT_ERR_ARGUMENT, nullptr);
  SlotClaim claim(*s);
  if (!claim)
    return nullptr;
  std::lock_guard shared(sharedBufferMutex);
  sharedRequestBuffer[0] = static_cast<uint8_t>(slot);
  const Answer answer = Handshake(*s, kRequestH2, sharedRequestBuffer, 1);
  if (answer.transaction == 1 && answer.length > 3 && sharedRequestBuffer[3] != 0) {
    return sharedRequestBuffer + 3;
  }
  return nullptr;
}

int ZNT_CALL ZNT_SetSlotSetup(CommSession* s, unsigned slot, const uint8_t* data, unsigned length,
                              const uint8_t* password) {
  if (!Active(s) || slot >= kSlotCount || data == nullptr || password == nullptr ||
      length >= kMaxSetupLength) {
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  }
  SlotClaim claim(*s);
  if (!claim)
    return 0;
  std::lock_guard shared(sharedBufferMutex);
  std::memcpy(sharedRequestBuffer, password, 4);
  sharedRequestBuffer[4] = static_cast<uint8_t>(slot);
  std::memcpy(sharedRequestBuffer + 5, data, length);
  return StatusResult(Handshake(*s, kRequestH3, sharedRequestBuffer, length + 5),
                      sharedRequestBuffer);
}

const SlotMasks* ZNT_CALL ZNT_GetSlotMasks(CommSession* s, unsigned slot, unsigned maskNumber) {
  if (!Active(s) || slot >= kSlotCount || maskNumber > kMaxMaskNumber) {
    return Refuse<const SlotMasks*>(s, ZNT_ERR_ARGUMENT, nullptr);
  }
  SlotClaim claim(*s);
  if (!claim)
    return nullptr;
  std::lock_guard shared(sharedBufferMutex);
  sharedRequestBuffer[0] = static_cast<uint8_t>(slot);
  sharedRequestBuffer[1] = static_cast<uint8_t>(maskNumber);
  const Answer answer = Handshake(*s, kRequestH4, sharedRequestBuffer, 2);
  if (answer.transaction != 1)
    return nullptr;
  sharedSlotMasks.first = sharedRequestBuffer[3];
  sharedSlotMasks.second = sharedRequestBuffer[4];
  sharedSlotMasks.count = kMaskCount;
  sharedSlotMasks.masks = sharedRequestBuffer + 5;
  return &sharedSlotMasks;
}

int ZNT_CALL ZNT_SetSlotMasks(CommSession* s, unsigned slot, unsigned maskNumber,
                              const uint8_t* masks, int masksLength, const uint8_t* password) {
  if (!Active(s) || slot >= kSlotCount || maskNumber > kMaxMaskNumber ||
      masksLength != static_cast<int>(kMaskCount) || masks == nullptr || password == nullptr) {
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  }
  SlotClaim claim(*s);
  if (!claim)
    return 0;
  std::lock_guard shared(sharedBufferMutex);
  std::memcpy(sharedRequestBuffer, password, 4);
  sharedRequestBuffer[4] = static_cast<uint8_t>(slot);
  sharedRequestBuffer[5] = static_cast<uint8_t>(maskNumber);
  std::memcpy(sharedRequestBuffer + 6, masks, kMaskCount);
  return StatusResult(Handshake(*s, kRequestH5, sharedRequestBuffer, 6 + kMaskCount),
                      sharedRequestBuffer);
}

int ZNT_CALL ZNT_SetSlotMode(CommSession* s, unsigned slot, unsigned mode,
                             const uint8_t* password) {
  if (!Active(s) || slot >= kSlotCount || mode > 1 || password == nullptr) {
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  }
  SlotClaim claim(*s);
  if (!claim)
    return 0;
  std::lock_guard shared(sharedBufferMutex);
  std::memcpy(sharedRequestBuffer, password, 4);
  sharedRequestBuffer[4] = static_cast<uint8_t>(slot);
  sharedRequestBuffer[5] = static_cast<uint8_t>(mode);
  return StatusResult(Handshake(*s, kRequestH6, sharedRequestBuffer, 6), sharedRequestBuffer);
}

int ZNT_CALL ZNT_GetSystemValue(CommSession* s, unsigned index) {
  if (!Active(s) || index >= kSystemValueCount)
    return Refuse(s, ZNT_ERR_ARGUMENT, -1);
  // The third byte is not used on a read.
  return ValueRequest(s, kRequestS5, {0, static_cast<uint8_t>(index), 0});
}

int ZNT_CALL ZNT_SetSystemValue(CommSession* s, unsigned index, int value) {
  if (!Active(s) || index >= kSystemValueCount)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  return TransactionRequest(s, kRequestS5, {1, static_cast<uint8_t>(index), Low(value)});
}

int ZNT_CALL ZNT_GetRtcOption(CommSession* s) {
  if (!Active(s))
    return Refuse(s, ZNT_ERR_ARGUMENT, -1);
  return ValueRequest(s, kRequestS7, {0});
}

int ZNT_CALL ZNT_SetRtcOption(CommSession* s, int option) {
  if (!Active(s))
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  return TransactionRequest(s, kRequestS7, {1, Low(option)});
}

int ZNT_CALL ZNT_GetRtcDayOfWeek(CommSession* s) {
  if (!Active(s))
    return Refuse(s, ZNT_ERR_ARGUMENT, -1);
  return ValueRequest(s, kRequestS6, {0});
}

int ZNT_CALL ZNT_SetRtcDayOfWeek(CommSession* s, int day) {
  if (!Active(s) || Low(day) < 1 || Low(day) > 7)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  return TransactionRequest(s, kRequestS6, {1, Low(day)});
}

int ZNT_CALL ZNT_Shutdown(CommSession* s, unsigned mode) {
  if (!Active(s) || mode > 1)
    return Refuse(s, ZNT_ERR_ARGUMENT, 0);
  return TransactionRequest(s, kRequestS9, {static_cast<uint8_t>(mode)});
}

}  // extern "C"
