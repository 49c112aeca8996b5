#include "platform/process_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tessar::platform {
namespace {

int pair[2] = {-1, -1};

void OnStopSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  (void)!write(pair[1], &byte, 1);
  errno = saved;
}

}  // namespace

int InstallStopSignals() {
  if (pair[0] >= 0)
    return pair[0];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
    return -1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return pair[0];
}

int TakeStopSignal() {
  char byte = 0;
  int signal = 0;
  while (read(pair[0], &byte, 1) == 1)
    signal = static_cast<unsigned char>(byte);
  return signal;
}

}  // namespace tessar::platform
