#include "common/profile_file.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tessar {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos)
    return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

ProfileFile ProfileFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return {};
  std::ostringstream text;
  text << in.rdbuf();
  return FromText(text.str());
}

ProfileFile ProfileFile::FromText(const std::string& text) {
  ProfileFile profile;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    profile.lines_.push_back(line);
  profile.endsWithNewline_ = text.empty() || text.back() == '\n';
  // A UTF-8 byte-order mark is not part of the first line.
  if (!profile.lines_.empty() && profile.lines_[0].rfind(kByteOrderMark, 0) == 0) {
    profile.lines_[0].erase(0, 3);
    profile.byteOrderMark_ = true;
  }
  return profile;
}

std::optional<std::string> ProfileFile::Find(const std::string& section,
                                             const std::string& key) const {
  bool inSection = false;
  for (const std::string& raw : lines_) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';')
      continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos && SameName(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    if (!inSection)
      continue;
    const size_t equals = line.find('=');
    if (equals != std::string::npos && SameName(Trim(line.substr(0, equals)), key))
      return Trim(line.substr(equals + 1));
  }
  return std::nullopt;
}

ProfileFile::Place ProfileFile::Locate(const std::string& section, const std::string& key) const {
  Place place;
  bool inSection = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string line = Trim(lines_[i]);
    if (!line.empty() && line[0] == '[') {
      const size_t close = line.find(']');
      inSection = close != std::string::npos && SameName(Trim(line.substr(1, close - 1)), section);
      if (inSection && !place.sectionFound) {
        place.sectionFound = true;
        place.line = i;
      }
      continue;
    }
    if (!inSection || line.empty() || line[0] == ';')
      continue;
    place.line = i;
    const size_t equals = line.find('=');
    if (equals != std::string::npos && SameName(Trim(line.substr(0, equals)), key)) {
      place.keyFound = true;
      return place;
    }
  }
  return place;
}

std::string ProfileFile::LineEnd() const {
  return !lines_.empty() && !lines_[0].empty() && lines_[0].back() == '\r' ? "\r" : "";
}

void ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
  const Place place = Locate(section, key);
  const std::string end = LineEnd();
  if (place.keyFound) {
    const std::string& old = lines_[place.line];
    const size_t equals = old.find('=');
    const std::string name = Trim(old.substr(0, equals));
    const bool hadReturn = !old.empty() && old.back() == '\r';
    lines_[place.line] = name + "=" + value + (hadReturn ? "\r" : "");
    return;
  }
  if (place.sectionFound) {
    lines_.insert(lines_.begin() + static_cast<long>(place.line) + 1, key + "=" + value + end);
    return;
  }
  if (!endsWithNewline_ && !lines_.empty())
    lines_.back() += end;  // the last line gets its line end before the new section
  lines_.push_back("[" + section + "]" + end);
  lines_.push_back(key + "=" + value + end);
  endsWithNewline_ = true;
}

bool ProfileFile::Save(const std::string& path, std::string* error) const {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (byteOrderMark_)
      out << kByteOrderMark;
    for (size_t i = 0; i < lines_.size(); ++i) {
      out << lines_[i];
      if (i + 1 < lines_.size() || endsWithNewline_)
        out << '\n';
    }
    out.flush();
    if (!out) {
      if (error != nullptr)
        *error = "cannot write " + temporary;
      std::filesystem::remove(temporary);
      return false;
    }
  }
  std::error_code failed;
  std::filesystem::rename(temporary, path, failed);
  if (failed) {
    if (error != nullptr)
      *error = "cannot replace " + path + ": " + failed.message();
    std::filesystem::remove(temporary, failed);
    return false;
  }
  return true;
}

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& fallback) const {
  const auto found = Find(section, key);
  if (!found)
    return fallback;
  std::string value = *found;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

std::optional<int32_t> ProfileFile::ParseInteger(const std::string& raw) {
  const std::string text = Trim(raw);
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    negative = text[at++] == '-';
  int base = 10;
  if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
    base = 16;
    at += 2;
  } else if (at < text.size() && text[at] == '$') {
    base = 16;
    at += 1;
  }
  if (at == text.size())
    return std::nullopt;
  int64_t value = 0;
  for (; at < text.size(); ++at) {
    const int c = std::tolower(static_cast<unsigned char>(text[at]));
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    if (digit < 0)
      return std::nullopt;
    value = value * base + digit;
    if (value > (int64_t{1} << 32))
      return std::nullopt;
  }
  if (negative)
    value = -value;
  // Hexadecimal texts stand for the 32-bit pattern, so $FFFFFFFF is -1.
  if (base == 16 && !negative && value <= UINT32_MAX)
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t ProfileFile::ReadInteger(const std::string& section, const std::string& key,
                                 int32_t fallback) const {
  const auto found = Find(section, key);
  if (!found)
    return fallback;
  return ParseInteger(*found).value_or(fallback);
}

}  // namespace tessar
