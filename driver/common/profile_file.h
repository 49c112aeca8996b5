// A Windows-style profile file ("ini"): [section] lines and key=value lines.
// Section and key names compare without regard to case, the first occurrence
// wins, and a missing file, section or key gives the caller's default, as does
// an integer key whose text is not a number. The lines are kept as read so
// that a writer can later change one key and leave the rest as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessar {

class ProfileFile {
 public:
  ProfileFile() = default;
  // Reads the file; a file that cannot be read gives an empty profile.
  static ProfileFile Load(const std::string& path);
  static ProfileFile FromText(const std::string& text);

  // The value with blanks around it removed, and one pair of matching quotes.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& fallback) const;
  // A decimal number with an optional sign, or hexadecimal after "0x" or "$",
  // within 32 bits; anything else gives `fallback`.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t fallback) const;

  // The number a profile text stands for, when it is one.
  static std::optional<int32_t> ParseInteger(const std::string& text);

 private:
  std::optional<std::string> Find(const std::string& section, const std::string& key) const;

  std::vector<std::string> lines_;
};

}  // namespace tessar
