#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tessar::fuzz {
namespace {

std::string MakeScratchDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessar-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    Fail("cannot make a scratch directory");
  return pattern;
}

void RemoveScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDirectory(), ignored);
}

}  // namespace

const std::string& ScratchDirectory() {
  static const std::string path = [] {
    std::string made = MakeScratchDirectory();
    return made;
  }();
  static const bool removedAtExit = std::atexit(RemoveScratchDirectory) == 0;
  (void)removedAtExit;
  return path;
}

void ClearScratchDirectory() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDirectory(), error))
    std::filesystem::remove_all(entry.path(), error);
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out)
    Fail("cannot write a scratch file");
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what);
  std::abort();
}

}  // namespace tessar::fuzz
