#include "log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/log_file.h"

namespace zntlink {
namespace {

constexpr const char* kDefaultDirectory = "zntlog";
constexpr const char* kExtension = "log";
constexpr size_t kDebugBufferSize = 256;
constexpr size_t kFileNameSize = 4096;

// One lock for every entry and debug line: entries from several threads never
// interleave, and the directory is read while nobody changes it.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

std::atomic<bool> debugSwitch{false};

std::string& Directory() {
  static std::string directory = kDefaultDirectory;
  return directory;
}

// The directory with its separator, or nothing for the current directory.
std::string DirectoryPrefix() {
  std::string prefix = Directory();
  if (!prefix.empty() && prefix.back() != kPathSeparator && prefix.back() != '/')
    prefix += kPathSeparator;
  return prefix;
}

// The integer conversion that a one-value debug format uses, so the value is
// passed with exactly the type the conversion expects.
enum class Conversion { kNone, kInt, kUnsigned, kLong, kUnsignedLong, kInvalid };

Conversion FindConversion(const char* format) {
  Conversion found = Conversion::kNone;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%')
      continue;
    ++p;
    if (*p == '%')
      continue;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr)
      ++p;
    while (*p >= '0' && *p <= '9')
      ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9')
        ++p;
    }
    bool isLong = false;
    if (*p == 'l') {
      isLong = true;
      ++p;
    }
    Conversion c;
    if (*p == 'd' || *p == 'i')
      c = isLong ? Conversion::kLong : Conversion::kInt;
    else if (*p == 'u' || *p == 'x' || *p == 'X' || *p == 'o')
      c = isLong ? Conversion::kUnsignedLong : Conversion::kUnsigned;
    else
      return Conversion::kInvalid;
    if (found != Conversion::kNone)
      return Conversion::kInvalid;  // one value, one conversion
    found = c;
  }
  return found;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Formats the value into buffer; false for a format this cannot render safely.
bool FormatOneValue(char* buffer, size_t size, const char* format, unsigned long value) {
  switch (FindConversion(format)) {
    case Conversion::kNone:
      std::snprintf(buffer, size, format, 0);
      return true;
    case Conversion::kInt:
      std::snprintf(buffer, size, format, static_cast<int>(static_cast<unsigned>(value)));
      return true;
    case Conversion::kUnsigned:
      std::snprintf(buffer, size, format, static_cast<unsigned>(value));
      return true;
    case Conversion::kLong:
      std::snprintf(buffer, size, format, static_cast<long>(value));
      return true;
    case Conversion::kUnsignedLong:
      std::snprintf(buffer, size, format, value);
      return true;
    case Conversion::kInvalid:
      break;
  }
  return false;
}
#pragma GCC diagnostic pop

// Appends "COM<port>> " and the text to the file as one entry.
void AppendEntry(const char* fileName, int port, const char* text) {
  char prefix[32];
  const int prefixLength = std::snprintf(prefix, sizeof prefix, "COM%d> ", port);
  std::string entry(prefix, static_cast<size_t>(prefixLength));
  entry += text;
  AppendToFile(fileName, entry);
}

}  // namespace

void DebugSwitchOn() {
  debugSwitch.store(true);
}

void DebugLine(const char* text) {
  if (text == nullptr || !debugSwitch.load())
    return;
  std::lock_guard lock(LogMutex());
  WriteDebugOutput(text);
}

void DebugLine(const char* format, unsigned long value) {
  if (format == nullptr || !debugSwitch.load())
    return;
  std::lock_guard lock(LogMutex());
  char buffer[kDebugBufferSize];
  if (FormatOneValue(buffer, sizeof buffer, format, value))
    WriteDebugOutput(buffer);
}

void DebugFailureLine(const std::string& text) {
  std::lock_guard lock(LogMutex());
  WriteDebugOutput(text.c_str());
}

void SessionLogEntry(int port, const char* text) {
  if (text == nullptr)
    return;
  std::lock_guard lock(LogMutex());
  const SYSTEMTIME now = LocalNow();
  char fileName[kFileNameSize];
  const int n = std::snprintf(fileName, sizeof fileName, "%ssy%.4d%.2d.%s",
                              DirectoryPrefix().c_str(), now.wYear, now.wMonth, kExtension);
  if (n < 0 || static_cast<size_t>(n) >= sizeof fileName)
    return;
  AppendEntry(fileName, port, text);
}

void MessageLogEntry(int port, const char* text) {
  if (text == nullptr)
    return;
  std::lock_guard lock(LogMutex());
  const SYSTEMTIME now = LocalNow();
  char fileName[kFileNameSize];
  const int n =
      std::snprintf(fileName, sizeof fileName, "%s%.4d%.2d_%.1d.%s", DirectoryPrefix().c_str(),
                    now.wYear, now.wMonth, now.wDay / 10 + 1, kExtension);
  if (n < 0 || static_cast<size_t>(n) >= sizeof fileName)
    return;
  AppendEntry(fileName, port, text);
}

void SetLogDirectoryForTesting(const std::string& directory) {
  std::lock_guard lock(LogMutex());
  Directory() = directory;
}

void ResetLogForTesting() {
  std::lock_guard lock(LogMutex());
  debugSwitch.store(false);
  Directory() = kDefaultDirectory;
}

}  // namespace zntlink
