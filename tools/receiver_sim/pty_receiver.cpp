#include "pty_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tessar::tools {
namespace {

// With nobody reading the port the terminal's buffer fills up; answers beyond
// this are of no use to anybody and are dropped.
constexpr size_t kMaxPendingOutput = 64 * 1024;

std::string Reason(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

PtyReceiver::~PtyReceiver() {
  Stop();
}

bool PtyReceiver::Start(const std::string& linkPath, std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = Reason("cannot open a pseudo-terminal");
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
    *error = Reason("cannot open " + slavePath_);
    Stop();
    return false;
  }
  cfmakeraw(&raw);
  cfsetispeed(&raw, B9600);
  cfsetospeed(&raw, B9600);
  tcsetattr(slave_, TCSANOW, &raw);
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    *error = Reason("pipe");
    Stop();
    return false;
  }
  struct stat info {};
  if (lstat(linkPath.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      *error = linkPath + " exists and is not a symbolic link";
      Stop();
      return false;
    }
    // A pseudo-terminal's device disappears with its server, so a link whose
    // target still exists belongs to a running simulator or a real port.
    struct stat target {};
    if (stat(linkPath.c_str(), &target) == 0) {
      char points[256] = {};
      (void)!readlink(linkPath.c_str(), points, sizeof points - 1);
      *error = linkPath + " already links to " + points +
               ", which is in use (another simulator on this port?)";
      Stop();
      return false;
    }
    unlink(linkPath.c_str());  // a link left behind by an earlier run
  }
  if (symlink(name, linkPath.c_str()) != 0) {
    *error = Reason("cannot create " + linkPath);
    Stop();
    return false;
  }
  linkPath_ = linkPath;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void PtyReceiver::SetBabble(bool on) {
  babble_ = on;
  if (thread_.joinable()) {
    const char changed = 1;
    (void)!write(wake_[1], &changed, 1);
  }
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
  uint8_t chunk[512];
  std::vector<uint8_t> answer;
  std::vector<uint8_t> pending;
  static const char kBabble[] = "$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998*6A\r\n";
  for (;;) {
    const bool babbling = babble_;
    if (babbling && pending.empty())
      pending.assign(kBabble, kBabble + sizeof kBabble - 1);
    pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                     {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents != 0) {
      char command = 0;
      if (read(wake_[0], &command, 1) != 1 || command == 0)
        return;
      if (!babble_)
        pending.clear();
      continue;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
        return;
      if (n > 0) {
        answer.clear();
        receiver_.Receive(chunk, static_cast<size_t>(n), answer);
        if (!babbling && pending.size() + answer.size() <= kMaxPendingOutput) {
          pending.insert(pending.end(), answer.begin(), answer.end());
        }
      }
    }
    while (!pending.empty()) {
      const ssize_t n = write(master_, pending.data(), pending.size());
      if (n > 0) {
        pending.erase(pending.begin(), pending.begin() + n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // the terminal is full: the rest goes when it has room
      }
    }
  }
}

}  // namespace tessar::tools
