#include "platform/service_log.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tessar::platform {
namespace {

// A whole decimal number of `text` up to `end` (or its end); false when
// anything else is there.
bool ParseUnsigned(const char* text, const char* end, unsigned long long* value) {
  if (text == end || *text < '0' || *text > '9')
    return false;
  char* stop = nullptr;
  errno = 0;
  *value = std::strtoull(text, &stop, 10);
  return errno == 0 && (end == nullptr ? *stop == '\0' : stop == end);
}

// WATCHDOG_USEC, or 0 when it is missing, not a number, or meant for another
// process (WATCHDOG_PID set to a pid that is not ours).
unsigned long long WatchdogUsec() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  unsigned long long value = 0;
  if (usec == nullptr || !ParseUnsigned(usec, nullptr, &value))
    return 0;
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr) {
    unsigned long long owner = 0;
    if (!ParseUnsigned(pid, nullptr, &owner) || owner != static_cast<unsigned long long>(getpid()))
      return 0;
  }
  return value;
}

}  // namespace

bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr)
    return false;
  const char* colon = std::strchr(stream, ':');
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (colon == nullptr || !ParseUnsigned(stream, colon, &device) ||
      !ParseUnsigned(colon + 1, nullptr, &inode))
    return false;
  struct stat standardError {};
  if (fstat(STDERR_FILENO, &standardError) != 0)
    return false;
  return static_cast<unsigned long long>(standardError.st_dev) == device &&
         static_cast<unsigned long long>(standardError.st_ino) == inode;
}

void WriteServiceLine(Severity severity, const std::string& text) {
  const char* prefix = "";
  if (StandardErrorIsJournal()) {
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

int WatchdogPingMs() {
  const unsigned long long usec = WatchdogUsec();
  if (usec == 0)
    return 0;
  const unsigned long long half = usec / 2000;
  if (half < 1)
    return 1;
  return half > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(half);
}

}  // namespace tessar::platform
