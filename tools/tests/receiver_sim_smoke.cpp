// Runs znt_receiver_sim (path in argv[1]) in a temporary directory and talks
// to it through its pseudo-terminal link and its stdin, as a user would.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 2000;

void Check(bool condition, const std::string& what) {
  if (!condition)
    throw std::runtime_error(what);
}

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // its stdin
  int out = -1;  // its stdout
  std::string buffered;

  void Start(const std::vector<std::string>& args) {
    int toChild[2], fromChild[2];
    Check(pipe(toChild) == 0 && pipe(fromChild) == 0, "pipe");
    pid = fork();
    Check(pid >= 0, "fork");
    if (pid == 0) {
      dup2(toChild[0], STDIN_FILENO);
      dup2(fromChild[1], STDOUT_FILENO);
      for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        close(fd);
      std::vector<char*> argv;
      for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in = toChild[1];
    out = fromChild[0];
  }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    Check(write(in, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write stdin");
  }

  std::string ReadLine() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      const size_t end = buffered.find('\n');
      if (end != std::string::npos) {
        std::string line = buffered.substr(0, end);
        buffered.erase(0, end + 1);
        return line;
      }
      pollfd fd{out, POLLIN, 0};
      Check(poll(&fd, 1, MsLeft(deadline)) == 1, "no output line from the program");
      char chunk[512];
      const ssize_t n = read(out, chunk, sizeof chunk);
      Check(n > 0, "the program closed its output");
      buffered.append(chunk, static_cast<size_t>(n));
    }
  }

  int Wait() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      Check(MsLeft(deadline) > 0, "the program did not stop");
      usleep(5000);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : {in, out})
      if (fd >= 0)
        close(fd);
  }
};

// Sends one request through the port and returns the content of the answer.
Bytes Exchange(int port, const char* code) {
  uint8_t frame[zntlink::kFrameBufferSize];
  const size_t length = zntlink::BuildFrame(code, nullptr, 0, frame, sizeof frame);
  Check(write(port, frame, length) == static_cast<ssize_t>(length), "write port");
  zntlink::FrameParser parser;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    pollfd fd{port, POLLIN, 0};
    Check(poll(&fd, 1, MsLeft(deadline)) == 1, std::string("no answer to ") + code);
    uint8_t byte;
    if (read(port, &byte, 1) == 1 && parser.Feed(byte)) {
      Check(!parser.bad(), std::string("bad answer to ") + code);
      return Bytes(parser.content(), parser.content() + parser.contentLength());
    }
  }
}

Bytes Content(const char* code, const Bytes& rest) {
  Bytes content{static_cast<uint8_t>(code[0]), static_cast<uint8_t>(code[1])};
  content.insert(content.end(), rest.begin(), rest.end());
  return content;
}

int OpenPort(const std::string& link) {
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  Check(fd >= 0, "cannot open " + link);
  return fd;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A stale link is replaced; the port survives being closed and reopened;
// commands answer one line each; quit removes the link.
void CommandsAndQuit(const std::string& program, const std::string& dir) {
  const std::string link = dir + "/COM7";
  Check(mkdir(dir.c_str(), 0755) == 0 && symlink("/nonexistent/pts/99", link.c_str()) == 0,
        "stale link");
  Child child;
  child.Start({program, "--dir", dir, "--port", "7"});
  Check(child.ReadLine().find(link) != std::string::npos, "startup line names the link");
  char target[256] = {};
  Check(readlink(link.c_str(), target, sizeof target - 1) > 0 && StartsWith(target, "/dev/pts/"),
        "link points to a pseudo-terminal");

  int port = OpenPort(link);
  Check(Exchange(port, "D0") == Content("D0", {0x06, 0, 0}), "D0 with no messages");
  close(port);
  child.Send("msg3 1 00 00 07 B2 04 00 00 00 00 00 00 00 01");
  Check(StartsWith(child.ReadLine(), "ok"), "msg3 accepted");
  port = OpenPort(link);
  Check(Exchange(port, "D0") == Content("D0", {0x06, 1, 0}), "D0 after reopening");
  close(port);

  child.Send("frobnicate 1");
  Check(StartsWith(child.ReadLine(), "error"), "unknown command gives an error line");
  child.Send("count");
  Check(child.ReadLine() == "ok: 1 messages stored", "count");
  child.Send("quit");
  child.ReadLine();
  Check(child.Wait() == 0, "exit status after quit");
  Check(!Exists(link), "link removed after quit");
}

// A second simulator on a port that a running one serves refuses to start and
// leaves the first one's link alone.
void SecondSimulatorOnOnePort(const std::string& program, const std::string& dir) {
  const std::string link = dir + "/COM4";
  Child first;
  first.Start({program, "--dir", dir, "--port", "4"});
  first.ReadLine();
  char target[256] = {};
  Check(readlink(link.c_str(), target, sizeof target - 1) > 0, "first link");
  Child second;
  second.Start({program, "--dir", dir, "--port", "4"});
  Check(second.Wait() != 0, "the second simulator exits with an error");
  char after[256] = {};
  Check(readlink(link.c_str(), after, sizeof after - 1) > 0 && std::string(after) == target,
        "the first simulator's link is kept");
  const int port = OpenPort(link);
  Check(Exchange(port, "D0") == Content("D0", {0x06, 0, 0}), "the first simulator still serves");
  close(port);
  first.Send("quit");
  first.ReadLine();
  Check(first.Wait() == 0, "exit status after quit");
  Check(!Exists(link), "link removed after quit");
}

// EOF on a piped stdin does not stop the program; SIGTERM does.
void EndOfInputAndSignal(const std::string& program, const std::string& dir) {
  const std::string link = dir + "/COM1";
  Child child;
  child.Start({program, "--dir", dir, "--verbose"});
  child.ReadLine();
  close(child.in);
  child.in = -1;
  const int port = OpenPort(link);
  Check(Exchange(port, "S2") == Content("S2", {0x06, 0x06}), "S2 after stdin ended");
  Check(child.ReadLine() == "<- S2", "verbose request line");
  Check(child.ReadLine() == "-> S2 06 06", "verbose answer line");
  close(port);
  kill(child.pid, SIGTERM);
  Check(child.Wait() == 0, "exit status after SIGTERM");
  Check(!Exists(link), "link removed after SIGTERM");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: receiver_sim_smoke PROGRAM\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/receiver_sim_smoke.XXXXXX";
  const char* temp = mkdtemp(pattern);
  if (temp == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = temp;
  int status = 0;
  try {
    CommandsAndQuit(argv[1], root + "/zntlog");
    EndOfInputAndSignal(argv[1], root + "/new/nested");
    SecondSimulatorOnOnePort(argv[1], root + "/zntlog");
    std::printf("receiver_sim_smoke: ok\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "receiver_sim_smoke: FAILED: %s\n", e.what());
    status = 1;
  }
  const std::string cleanup = "rm -rf '" + root + "'";
  if (std::system(cleanup.c_str()) != 0)
    status = 1;
  return status;
}
