#include "pty_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tessar::tools {
namespace {

std::string Reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

PtyReceiver::~PtyReceiver() {
  Stop();
}

bool PtyReceiver::Start(const std::string& linkPath, std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = Reason("pseudo-terminal");
    Stop();
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *error = Reason("ptsname");
    Stop();
    return false;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
    *error = Reason("slave side");
    Stop();
    return false;
  }
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    *error = Reason("pipe");
    Stop();
    return false;
  }
  unlink(linkPath.c_str());
  if (symlink(name, linkPath.c_str()) != 0) {
    *error = Reason(("link " + linkPath).c_str());
    Stop();
    return false;
  }
  linkPath_ = linkPath;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void PtyReceiver::Stop() {
  if (thread_.joinable()) {
    const char stop = 0;
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
  }
  if (!linkPath_.empty()) {
    char target[256] = {};
    // Only our own link is removed, never one another simulator made since.
    if (readlink(linkPath_.c_str(), target, sizeof target - 1) > 0 && slavePath_ == target) {
      unlink(linkPath_.c_str());
    }
    linkPath_.clear();
  }
  for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0)
      close(*fd);
    *fd = -1;
  }
}

void PtyReceiver::Serve() {
  uint8_t chunk[256];
  std::vector<uint8_t> answer;
  for (;;) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents != 0)
      return;
    if ((fds[0].revents & POLLIN) == 0)
      continue;
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      return;
    answer.clear();
    receiver_.Receive(chunk, static_cast<size_t>(n), answer);
    if (!answer.empty() && !WriteAll(master_, answer.data(), answer.size()))
      return;
  }
}

}  // namespace tessar::tools
