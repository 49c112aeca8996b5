#include "session.h"

#include <algorithm>
#include <new>
#include <vector>

CommSession::CommSession() {
  for (size_t i = 0; i < timeouts.size(); ++i)
    timeouts[i] = zntlink::kDefaultLinkTimeouts[i];
}

LinkStatistics CommSession::Statistics() const {
  LinkStatistics s{};
  s.TxFrm = statistics[zntlink::kTxFrm];
  s.RxFrm = statistics[zntlink::kRxFrm];
  s.Crc = statistics[zntlink::kCrc];
  s.TmOut = statistics[zntlink::kTmOut];
  s.Link = statistics[zntlink::kLink];
  s.Msg = statistics[zntlink::kMsg];
  return s;
}

namespace zntlink {
namespace {

// Keeps every session handed out, so that handles stay valid for the life of
// the library; at unload the closed ones are released.
class SessionRegistry {
 public:
  ~SessionRegistry() {
    std::lock_guard lock(mutex_);
    for (CommSession* session : sessions_) {
      if (!session->serialPort && !session->linkThread.Exists() &&
          !session->modemThread.Exists()) {
        delete session;
      }
    }
  }
  void Add(CommSession* session) {
    std::lock_guard lock(mutex_);
    sessions_.push_back(session);
  }
  void Remove(CommSession* session) {
    std::lock_guard lock(mutex_);
    sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
  }

 private:
  std::mutex mutex_;
  std::vector<CommSession*> sessions_;
};

SessionRegistry& Registry() {
  static SessionRegistry registry;
  return registry;
}

}  // namespace

CommSession* CreateSession() {
  CommSession* session = new (std::nothrow) CommSession();
  if (session == nullptr)
    return nullptr;
  try {
    Registry().Add(session);
  } catch (...) {
    delete session;
    return nullptr;
  }
  return session;
}

void DestroySession(CommSession* session) {
  Registry().Remove(session);
  delete session;
}

}  // namespace zntlink
