#include "platform/serial_port.h"

#include <mutex>
#include <utility>

namespace zntlink {
namespace {

std::mutex& OpenerMutex() {
  static std::mutex mutex;
  return mutex;
}

PortOpener& InstalledOpener() {
  static PortOpener opener;
  return opener;
}

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(int port, std::string* failure) {
  PortOpener opener;
  {
    std::lock_guard lock(OpenerMutex());
    opener = InstalledOpener();
  }
  // Called outside the lock so an opener may itself replace the opener.
  if (opener) {
    std::unique_ptr<SerialPort> opened = opener(port);
    if (!opened && failure != nullptr)
      *failure = "COM" + std::to_string(port) + ": not available";
    return opened;
  }
#if defined(_WIN32)
  return OpenWin32SerialPort(port, failure);
#else
  return OpenPosixSerialPort(port, failure);
#endif
}

void SetPortOpenerForTesting(PortOpener opener) {
  std::lock_guard lock(OpenerMutex());
  InstalledOpener() = std::move(opener);
}

}  // namespace zntlink
