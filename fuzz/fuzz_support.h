// What the fuzz targets share: the entry point libFuzzer calls, and a scratch
// directory of the process's own for the targets that go through real files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tessar::fuzz {

// A directory made once per process under $TMPDIR (or /tmp) and removed with
// everything in it when the process ends.
const std::string& ScratchDirectory();

// Removes every entry of the scratch directory, so that each input starts
// from an empty one.
void ClearScratchDirectory();

// Writes `bytes` to `path`, replacing it; aborts when it cannot.
void WriteWholeFile(const std::string& path, std::string_view bytes);

// Stops the run with a message: a property of the code under test does not
// hold for this input. libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* what);

// Checks a property; see Fail.
inline void Check(bool holds, const char* what) {
  if (!holds)
    Fail(what);
}

}  // namespace tessar::fuzz
