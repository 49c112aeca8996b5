#include "platform/service_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tessar::platform {

void WriteServiceLine(Severity severity, const std::string& text) {
  const char* prefix = "";
  if (std::getenv("JOURNAL_STREAM") != nullptr) {
    prefix = severity == Severity::kError ? "<3>" : severity == Severity::kWarning ? "<4>" : "<6>";
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s%s tessard: %s\n", prefix, stamp, text.c_str());
  std::fflush(stderr);
}

bool NotifyServiceManager(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0')
    return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path)
    return false;
  std::memcpy(address.sun_path, path, length);
  // A leading '@' names an abstract socket.
  if (address.sun_path[0] == '@')
    address.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const bool sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&address),
                           size) == static_cast<ssize_t>(message.size());
  close(fd);
  return sent;
}

long WatchdogIntervalMs() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr)
    return 0;
  char* end = nullptr;
  const long long value = std::strtoll(usec, &end, 10);
  if (end == usec || *end != '\0' || value <= 0)
    return 0;
  return static_cast<long>(value / 1000);
}

}  // namespace tessar::platform
