// The log files' side of the platform: the directory separator and appending
// one entry to a file.
#pragma once

#include <string>

namespace zntlink {

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Appends the bytes as one write, creating the file when it does not exist;
// while the entry is written other processes may only read the file. A file
// that cannot be opened (a missing directory, say) loses the entry silently.
void AppendToFile(const char* fileName, const std::string& bytes);

}  // namespace zntlink
