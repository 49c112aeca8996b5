// The receiver communications library as the driver uses it: the eleven
// exports it binds by name (and the open operation that reports its error
// code, when the library has it), behind an interface so that the
// supervision cycle and the start-up steps can be tested with a fake receiver.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zntlink.h"

namespace tessar {

inline constexpr const char kReceiverLibraryPath[] = "zntlog/libzntlink.so";

class ReceiverApi {
 public:
  virtual ~ReceiverApi() = default;
  // Opens the port at 9600 baud; null with the error code in *error (0 when
  // the library cannot tell).
  virtual CommSession* InitComm(int port, int* error) = 0;
  virtual int CloseComm(CommSession* session) = 0;
  virtual int GetActivity(CommSession* session) = 0;
  virtual int GetTime(CommSession* session, SYSTEMTIME* time) = 0;
  virtual int SetTime(CommSession* session, const SYSTEMTIME* time) = 0;
  virtual int GetMsgNum(CommSession* session) = 0;
  virtual int GetMsg(CommSession* session, ReceiverMessage* message) = 0;
};

// The library loaded from its file. An entry point that was not found is
// never called: its operation gives the library's failure value (null, 0).
class ReceiverLibrary final : public ReceiverApi {
 public:
  // Loads the library and binds the eleven names in their fixed order.
  static std::unique_ptr<ReceiverLibrary> Load(const std::string& path);

  // False when the file could not be loaded; LoadError() says why.
  bool Loaded() const { return module_ != nullptr; }
  const std::string& LoadError() const { return loadError_; }
  // The names the library lacks, in binding order.
  const std::vector<std::string>& MissingNames() const { return missing_; }

  CommSession* InitComm(int port, int* error) override;
  int CloseComm(CommSession* session) override;
  int GetActivity(CommSession* session) override;
  int GetTime(CommSession* session, SYSTEMTIME* time) override;
  int SetTime(CommSession* session, const SYSTEMTIME* time) override;
  int GetMsgNum(CommSession* session) override;
  int GetMsg(CommSession* session, ReceiverMessage* message) override;

 private:
  struct EntryPoints {
    CommSession* (*initCommEx)(int, int, int*) = nullptr;  // optional
    CommSession* (*initComm)(int) = nullptr;
    int (*closeComm)(CommSession*) = nullptr;
    int (*getLastError)(CommSession*) = nullptr;
    int (*setTime)(CommSession*, const SYSTEMTIME*) = nullptr;
    int (*getTime)(CommSession*, SYSTEMTIME*) = nullptr;
    int (*getActivity)(CommSession*) = nullptr;
    int (*getCommPort)(CommSession*) = nullptr;
    int (*getSlotNum)(CommSession*) = nullptr;
    int (*getSlotInfo)(CommSession*, SlotInfo*) = nullptr;
    int (*getMsg)(CommSession*, ReceiverMessage*) = nullptr;
    int (*getMsgNum)(CommSession*) = nullptr;
  };

  void* module_ = nullptr;
  std::string loadError_;
  std::vector<std::string> missing_;
  EntryPoints entry_;
};

// What an open error code means to the person who set the port up.
std::string OpenErrorText(int error);

}  // namespace tessar
