#include <windows.h>

#include "platform/log_file.h"

namespace zntlink {

void AppendToFile(const char* fileName, const std::string& bytes) {
  // Shared for reading only: while the entry is written no other writer gets in.
  HANDLE file = CreateFileA(fileName, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // Another process is writing its entry this moment: try again briefly.
    for (int attempt = 0; attempt < 50 && GetLastError() == ERROR_SHARING_VIOLATION; ++attempt) {
      Sleep(2);
      file = CreateFileA(fileName, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE)
        break;
    }
    if (file == INVALID_HANDLE_VALUE)
      return;
  }
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
