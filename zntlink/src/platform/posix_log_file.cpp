#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log_file.h"

namespace zntlink {
namespace {

// Writes all of data, going on after an interrupted or short write.
void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void AppendToFile(const char* fileName, const std::string& bytes) {
  const int fd = ::open(fileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  while (::flock(fd, LOCK_EX) < 0 && errno == EINTR) {
  }
  WriteAll(fd, bytes.data(), bytes.size());
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

}  // namespace zntlink
