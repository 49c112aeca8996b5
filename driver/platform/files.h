// The few file-system services the session thread needs.
#pragma once

#include <string>

namespace tessar::platform {

bool FileExists(const std::string& path);
// True when the file was removed.
bool RemoveFile(const std::string& path);
// The process's current directory, ending in the path separator.
std::string CurrentDirectory();
constexpr char kPathSeparator = '/';

}  // namespace tessar::platform
