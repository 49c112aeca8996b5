#include <windows.h>

#include "platform/log_file.h"

namespace zntlink {
namespace {

constexpr int kSharingRetries = 50;
constexpr DWORD kSharingRetryMs = 2;

}  // namespace

void AppendToFile(const char* fileName, const std::string& bytes) {
  // Shared for reading only: while the entry is written no other writer gets
  // in. When another process is writing its entry that moment, try again
  // briefly before the entry is dropped.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt <= kSharingRetries; ++attempt) {
    if (attempt > 0)
      Sleep(kSharingRetryMs);
    file = CreateFileA(fileName, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
      break;
  }
  if (file == INVALID_HANDLE_VALUE)
    return;
  const char* data = bytes.data();
  DWORD left = static_cast<DWORD>(bytes.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, left, &written, nullptr) || written == 0)
      break;
    data += written;
    left -= written;
  }
  CloseHandle(file);
}

}  // namespace zntlink
