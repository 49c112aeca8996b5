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

  // Sets `key` in `section` to `value`: the key's first line is replaced
  // (keeping the key as spelled there), or the key is added at the end of its
  // section, or the section is added at the end. Every other line stays as it was.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Writes the profile to `path` through a temporary file and a rename, so a
  // reader sees the old file or the new one; false with the reason in *error.
  bool Save(const std::string& path, std::string* error) const;

  // The number a profile text stands for, when it is one.
  static std::optional<int32_t> ParseInteger(const std::string& text);

 private:
  std::optional<std::string> Find(const std::string& section, const std::string& key) const;

  // The index of the first line of `key` in `section`, or of the line after
  // which it would go (the section's last line), and whether the key is there.
  struct Place {
    bool sectionFound = false;
    bool keyFound = false;
    size_t line = 0;
  };
  Place Locate(const std::string& section, const std::string& key) const;
  std::string LineEnd() const;

  std::vector<std::string> lines_;
  bool endsWithNewline_ = true;
  bool byteOrderMark_ = false;  // the file began with one; Save writes it back
};

}  // namespace tessar
