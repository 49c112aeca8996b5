// Serves a receiver simulator on a pseudo-terminal: the library opens the
// slave side through a link (zntlog/COM<n>) as if it were a serial port, and
// a background thread answers whatever arrives on the master side.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "receiver_simulator.h"

namespace tessar::tools {

class PtyReceiver {
 public:
  explicit PtyReceiver(ReceiverSimulator& receiver) : receiver_(receiver) {}
  ~PtyReceiver();
  PtyReceiver(const PtyReceiver&) = delete;
  PtyReceiver& operator=(const PtyReceiver&) = delete;

  // Opens the pair, links `linkPath` to the slave and starts serving. A stale
  // link (its terminal gone) is replaced; a link to a terminal that exists,
  // such as one another simulator serves, is refused. False with a reason in
  // *error.
  bool Start(const std::string& linkPath, std::string* error);
  // While on, the line streams printable text that never forms a frame, as a
  // device on the wrong port would.
  void SetBabble(bool on);
  // Stops serving and removes the link.
  void Stop();

  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LinkPath() const { return linkPath_; }

 private:
  void Serve();

  ReceiverSimulator& receiver_;
  int master_ = -1;
  int slave_ = -1;  // kept open so the master never sees a hang-up between opens
  int wake_[2] = {-1, -1};
  std::atomic<bool> babble_{false};
  std::string slavePath_;
  std::string linkPath_;
  std::thread thread_;
};

}  // namespace tessar::tools
