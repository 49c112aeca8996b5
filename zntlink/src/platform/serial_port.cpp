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

std::unique_ptr<SerialPort> OpenSerialPort(int port) {
  PortOpener opener;
  {
    std::lock_guard lock(OpenerMutex());
    opener = InstalledOpener();
  }
  // Called outside the lock so an opener may itself replace the opener.
  if (opener)
    return opener(port);
  return OpenPosixSerialPort(port);
}

void SetPortOpenerForTesting(PortOpener opener) {
  std::lock_guard lock(OpenerMutex());
  InstalledOpener() = std::move(opener);
}

}  // namespace zntlink
