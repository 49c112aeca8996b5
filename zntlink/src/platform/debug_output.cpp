#include "platform/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace zntlink {
namespace {

std::mutex channelMutex;
std::function<void(const std::string&)>& Sink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

bool ToStandardError() {
  static const bool toStderr = [] {
    const char* mode = std::getenv("ZNTLINK_DEBUG");
    return mode != nullptr && std::strcmp(mode, "stderr") == 0;
  }();
  return toStderr;
}

}  // namespace

void WriteDebugOutput(const char* text) {
  std::lock_guard lock(channelMutex);
  if (Sink()) {
    Sink()(text);
  } else if (ToStandardError()) {
    std::fputs(text, stderr);
    std::fflush(stderr);
  } else {
    WriteSystemDebugChannel(text);
  }
}

void SetDebugSinkForTesting(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(channelMutex);
  Sink() = std::move(sink);
}

}  // namespace zntlink
