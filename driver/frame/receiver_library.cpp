#include "frame/receiver_library.h"

#include "platform/dynamic_library.h"

namespace tessar {
namespace {

// The rate ZNT_InitComm opens at.
constexpr int kReceiverBaudRate = 9600;

template <typename Function>
void Bind(void* module, const char* name, Function& slot, std::vector<std::string>& missing) {
  slot = reinterpret_cast<Function>(platform::LibrarySymbol(module, name));
  if (slot == nullptr)
    missing.emplace_back(name);
}

}  // namespace

std::unique_ptr<ReceiverLibrary> ReceiverLibrary::Load(const std::string& path) {
  auto library = std::make_unique<ReceiverLibrary>();
  library->module_ = platform::LoadLibrary(path, &library->loadError_);
  if (library->module_ == nullptr)
    return library;
  void* m = library->module_;
  EntryPoints& e = library->entry_;
  std::vector<std::string>& missing = library->missing_;
  Bind(m, "ZNT_InitComm", e.initComm, missing);
  Bind(m, "ZNT_CloseComm", e.closeComm, missing);
  Bind(m, "ZNT_GetLastError", e.getLastError, missing);
  Bind(m, "ZNT_SetTime", e.setTime, missing);
  Bind(m, "ZNT_GetTime", e.getTime, missing);
  Bind(m, "ZNT_GetActivity", e.getActivity, missing);
  Bind(m, "ZNT_GetCommPort", e.getCommPort, missing);
  Bind(m, "ZNT_GetSlotNum", e.getSlotNum, missing);
  Bind(m, "ZNT_GetSlotInfo", e.getSlotInfo, missing);
  Bind(m, "ZNT_GetMsg", e.getMsg, missing);
  Bind(m, "ZNT_GetMsgNum", e.getMsgNum, missing);
  // Not one of the eleven: used only to tell why an open failed.
  e.initCommEx =
      reinterpret_cast<decltype(e.initCommEx)>(platform::LibrarySymbol(m, "ZNT_InitCommEx"));
  return library;
}

CommSession* ReceiverLibrary::InitComm(int port, int* error) {
  *error = 0;
  if (entry_.initComm == nullptr)
    return nullptr;
  if (entry_.initCommEx != nullptr)
    return entry_.initCommEx(port, kReceiverBaudRate, error);
  return entry_.initComm(port);
}
int ReceiverLibrary::CloseComm(CommSession* session) {
  return entry_.closeComm ? entry_.closeComm(session) : 0;
}
int ReceiverLibrary::GetActivity(CommSession* session) {
  return entry_.getActivity ? entry_.getActivity(session) : 0;
}
int ReceiverLibrary::GetTime(CommSession* session, SYSTEMTIME* time) {
  return entry_.getTime ? entry_.getTime(session, time) : 0;
}
int ReceiverLibrary::SetTime(CommSession* session, const SYSTEMTIME* time) {
  return entry_.setTime ? entry_.setTime(session, time) : 0;
}
int ReceiverLibrary::GetMsgNum(CommSession* session) {
  return entry_.getMsgNum ? entry_.getMsgNum(session) : 0;
}
int ReceiverLibrary::GetMsg(CommSession* session, ReceiverMessage* message) {
  return entry_.getMsg ? entry_.getMsg(session, message) : 0;
}

std::string OpenErrorText(int error) {
  switch (error) {
    case ZNT_ERR_RESOURCE:
      return "the port could not be opened: its device is missing or another program holds it "
             "(the library's debug line names the path it tried)";
    case ZNT_ERR_LINE_SETTINGS:
      return "the port refused the line settings";
    case ZNT_ERR_LINK:
      return "no receiver answered on the port";
    default:
      return "error " + std::to_string(error);
  }
}

}  // namespace tessar
