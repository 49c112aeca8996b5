// A receiver library stand-in for the frame's tests: link activity, clock and
// stored messages set by the test, every call recorded.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "frame/receiver_library.h"

namespace tessar::testing {

class FakeReceiver : public ReceiverApi {
 public:
  CommSession* InitComm(int port, int* error) override {
    openedPorts.push_back(port);
    *error = openError;
    return openError == 0 ? Handle() : nullptr;
  }
  int CloseComm(CommSession* session) override {
    closed.push_back(session);
    activity = 0;
    return session != nullptr;
  }
  int GetActivity(CommSession* session) override { return session != nullptr ? activity : 0; }
  int GetTime(CommSession*, SYSTEMTIME* time) override {
    time->wYear = clock.wYear;
    time->wMonth = clock.wMonth;
    time->wDay = clock.wDay;
    time->wHour = clock.wHour;
    time->wMinute = clock.wMinute;
    time->wSecond = clock.wSecond;
    return 1;
  }
  int SetTime(CommSession*, const SYSTEMTIME* time) override {
    setTimes.push_back(*time);
    return 1;
  }
  int GetMsgNum(CommSession*) override { return static_cast<int>(messages.size()); }
  int GetMsg(CommSession*, ReceiverMessage* out) override {
    if (messages.empty())
      return 0;
    const std::vector<uint8_t> record = messages.front();
    messages.pop_front();
    std::copy(record.begin(), record.end(), reinterpret_cast<uint8_t*>(out));
    return 1;
  }

  static CommSession* Handle() { return reinterpret_cast<CommSession*>(0x5E55); }

  int activity = 0;
  int openError = 0;
  SYSTEMTIME clock{};
  std::deque<std::vector<uint8_t>> messages;
  std::vector<int> openedPorts;
  std::vector<CommSession*> closed;
  std::vector<SYSTEMTIME> setTimes;
};

}  // namespace tessar::testing
