// The main window's fields that the session thread also reads and writes: the
// port text, the receiver link state, FirstNumber, the last spool path and the
// spool re-send time. Each read or write takes effect as a whole, so the main
// thread and the session thread may use them at the same time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace tessar {

class DriverState {
 public:
  std::string PortText() const { return Read(portText_); }
  void SetPortText(const std::string& text) { Write(portText_, text); }
  uint8_t ReceiverLinkState() const { return Read(receiverLinkState_); }
  void SetReceiverLinkState(uint8_t state) { Write(receiverLinkState_, state); }
  int32_t FirstNumber() const { return Read(firstNumber_); }
  void SetFirstNumber(int32_t number) { Write(firstNumber_, number); }
  std::string LastSpoolPath() const { return Read(lastSpoolPath_); }
  void SetLastSpoolPath(const std::string& path) { Write(lastSpoolPath_, path); }
  // An OLE Automation date; 0 at start, so the first re-send is never held back.
  double SpoolResendTime() const { return Read(spoolResendTime_); }
  void SetSpoolResendTime(double time) { Write(spoolResendTime_, time); }

 private:
  template <typename T>
  T Read(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <typename T>
  void Write(T& field, const T& value) {
    std::lock_guard lock(mutex_);
    field = value;
  }

  mutable std::mutex mutex_;
  std::string portText_ = "255";
  uint8_t receiverLinkState_ = 0;
  int32_t firstNumber_ = 1;
  std::string lastSpoolPath_;
  double spoolResendTime_ = 0;
};

}  // namespace tessar
