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
  std::string PortText() const;
  void SetPortText(const std::string& text);
  uint8_t ReceiverLinkState() const;
  void SetReceiverLinkState(uint8_t state);
  int32_t FirstNumber() const;
  void SetFirstNumber(int32_t number);
  std::string LastSpoolPath() const;
  void SetLastSpoolPath(const std::string& path);
  // An OLE Automation date; 0 at start, so the first re-send is never held back.
  double SpoolResendTime() const;
  void SetSpoolResendTime(double time);

 private:
  mutable std::mutex mutex_;
  std::string portText_ = "255";
  uint8_t receiverLinkState_ = 0;
  int32_t firstNumber_ = 1;
  std::string lastSpoolPath_;
  double spoolResendTime_ = 0;
};

}  // namespace tessar
