// DriverProcess: the real tessard started as a child in its home, offscreen,
// with its output in home/tessard.log, for the programs that drive it from
// outside (the fault soak, the latency benchmark).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tessar::tools {

class DriverProcess {
 public:
  ~DriverProcess() { Kill(); }

  bool Start(const std::string& program, const std::filesystem::path& home, bool truncateLog) {
    // Everything the child needs is made before the fork: this process has
    // threads, so the child only calls what is safe between fork and exec.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "QT_QPA_PLATFORM=", 16) != 0)
        environment.emplace_back(*entry);
    }
    environment.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& entry : environment)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string directory = home.string();
    const std::string log = (home / "tessard.log").string();
    const int logFlags = O_CREAT | O_WRONLY | O_CLOEXEC | (truncateLog ? O_TRUNC : O_APPEND);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};

    pid_ = fork();
    if (pid_ < 0)
      return false;
    if (pid_ == 0) {
      if (chdir(directory.c_str()) != 0)
        _exit(126);
      const int fd = open(log.c_str(), logFlags, 0644);
      if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
      }
      execve(program.c_str(), argv, envp.data());
      _exit(127);
    }
    return true;
  }

  pid_t Pid() const { return pid_; }

  // False once the child has ended; its status is then in LastStatus().
  bool Running() {
    if (pid_ <= 0)
      return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_)
      return true;
    pid_ = -1;
    lastStatus_ = Decode(status);
    return false;
  }
  int LastStatus() const { return lastStatus_; }

  // SIGTERM, then the exit status; -1 when it did not end within `ms`.
  int Stop(int ms) {
    if (pid_ <= 0)
      return lastStatus_;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > deadline)
        return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return Decode(status);
  }

  void Kill() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  static int Decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_t pid_ = -1;
  int lastStatus_ = 0;
};

}  // namespace tessar::tools
