#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tessar::platform {

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  std::string directory = getcwd(buffer.data(), buffer.size()) ? buffer.data() : ".";
  if (directory.empty() || directory.back() != kPathSeparator)
    directory += kPathSeparator;
  return directory;
}

}  // namespace tessar::platform
