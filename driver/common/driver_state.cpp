#include "common/driver_state.h"

namespace tessar {

std::string DriverState::PortText() const {
  std::lock_guard lock(mutex_);
  return portText_;
}

void DriverState::SetPortText(const std::string& text) {
  std::lock_guard lock(mutex_);
  portText_ = text;
}

uint8_t DriverState::ReceiverLinkState() const {
  std::lock_guard lock(mutex_);
  return receiverLinkState_;
}

void DriverState::SetReceiverLinkState(uint8_t state) {
  std::lock_guard lock(mutex_);
  receiverLinkState_ = state;
}

int32_t DriverState::FirstNumber() const {
  std::lock_guard lock(mutex_);
  return firstNumber_;
}

void DriverState::SetFirstNumber(int32_t number) {
  std::lock_guard lock(mutex_);
  firstNumber_ = number;
}

std::string DriverState::LastSpoolPath() const {
  std::lock_guard lock(mutex_);
  return lastSpoolPath_;
}

void DriverState::SetLastSpoolPath(const std::string& path) {
  std::lock_guard lock(mutex_);
  lastSpoolPath_ = path;
}

double DriverState::SpoolResendTime() const {
  std::lock_guard lock(mutex_);
  return spoolResendTime_;
}

void DriverState::SetSpoolResendTime(double time) {
  std::lock_guard lock(mutex_);
  spoolResendTime_ = time;
}

}  // namespace tessar
