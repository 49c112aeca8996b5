#include "conversion/spool_directory.h"

#include <cstdio>
#include <stdexcept>

namespace tessar {
namespace {

constexpr int kMaxNameSuffix = 9999;
// Entries looked at per call of Oldest before it gives up until the next tick.
constexpr int kMaxEntriesPerCall = 64;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

// "" for the first name, then "_0001", "_0002"...: fixed width, so names made
// at the same clock reading sort in the order they were made.
std::string NameSuffix(int index) {
  if (index == 0)
    return "";
  char text[16];
  std::snprintf(text, sizeof text, "_%04d", index);
  return text;
}

}  // namespace

SpoolDirectory::SpoolDirectory(std::string prefix, const platform::Clock& clock,
                               FailureReport& report)
    : prefix_(std::move(prefix)), clock_(clock), report_(report) {
  const size_t separator = prefix_.rfind('/');
  directory_ = separator == std::string::npos ? "" : prefix_.substr(0, separator + 1);
  namePrefix_ = separator == std::string::npos ? prefix_ : prefix_.substr(separator + 1);
}

bool SpoolDirectory::Matches(const std::string& name) const {
  return StartsWith(name, namePrefix_) && name.size() >= namePrefix_.size() + 4 &&
         EndsWith(name, kSpoolExtension);
}

bool SpoolDirectory::MatchesTemporary(const std::string& name) const {
  return StartsWith(name, namePrefix_) &&
         EndsWith(name, std::string(kSpoolExtension) + kTemporarySuffix);
}

void SpoolDirectory::Add(const std::string& name, int64_t modifiedNs) {
  Forget(name);
  Entry entry;
  entry.key = OrderKey{0, modifiedNs, name};
  order_.insert(entry.key);
  byName_.emplace(name, std::move(entry));
}

void SpoolDirectory::Forget(const std::string& name) {
  const auto found = byName_.find(name);
  if (found == byName_.end())
    return;
  order_.erase(found->second.key);
  byName_.erase(found);
}

void SpoolDirectory::Consider(const std::string& name) {
  if (const auto info = files::Stat(PathOf(name)))
    Add(name, info->modifiedNs);
}

std::vector<std::string> SpoolDirectory::Names() const {
  std::vector<std::string> names;
  for (const OrderKey& key : order_)
    names.push_back(key.name);
  return names;
}

void SpoolDirectory::Open() {
  files::DirectoryReader reader(directory_);
  std::vector<std::string> names;
  while (reader.Next(4096, names)) {
  }
  for (const std::string& name : names) {
    if (Matches(name))
      Consider(name);
    else if (MatchesTemporary(name))
      RecoverTemporary(name);
  }
  lastScanEndTick_ = clock_.TickMs();
}

std::optional<std::string> SpoolDirectory::RenameToFree(const std::string& from,
                                                        const std::string& stem,
                                                        const std::string& extension,
                                                        std::string* reason) {
  for (int index = 0; index <= kMaxNameSuffix; ++index) {
    const std::string name = stem + NameSuffix(index) + extension;
    if (byName_.count(name))
      continue;
    const files::Status renamed = files::RenameNoReplace(from, PathOf(name));
    if (renamed)
      return name;
    if (!renamed.exists) {
      *reason = renamed.reason;
      return std::nullopt;
    }
  }
  *reason = "no free name";
  return std::nullopt;
}

void SpoolDirectory::SetAside(const std::string& name, const std::string& why) {
  Forget(name);
  std::string reason;
  const auto newName = RenameToFree(PathOf(name), name, kSetAsideSuffix, &reason);
  if (newName) {
    files::SyncDirectory(directory_);
    report_.Failure("spool file " + PathOf(name) + " set aside as " + *newName, why);
  } else {
    report_.Failure("spool file " + PathOf(name) + " (" + why + ") could not be set aside", reason);
  }
}

void SpoolDirectory::RecoverTemporary(const std::string& name) {
  // A temporary file is left over from a spooling cut short. Whole, it is
  // flushed and given its name; otherwise it is set aside.
  const std::string path = PathOf(name);
  files::Bytes content;
  if (files::ReadFile(path, content) && IsWholeDriverSpoolFile(content) && files::SyncFile(path)) {
    const std::string stem = name.substr(0, name.size() - std::string(kSpoolExtension).size() -
                                                std::string(kTemporarySuffix).size());
    std::string reason;
    if (const auto finalName = RenameToFree(path, stem, kSpoolExtension, &reason)) {
      files::SyncDirectory(directory_);
      Consider(*finalName);
      return;
    }
    report_.Failure("leftover spool file " + path + " could not be completed", reason);
    return;
  }
  SetAside(name, "incomplete leftover of an interrupted spooling");
}

bool SpoolDirectory::Spool(const CodedPayload& item, const platform::LocalTime& now) {
  const std::string stem = namePrefix_ + SpoolName(now);
  const files::Bytes content = SpoolFileContent(item);
  std::string temporary;
  files::FileInfo info;
  files::Status created;
  for (int index = 0; index <= kMaxNameSuffix; ++index) {
    temporary = stem + NameSuffix(index) + kSpoolExtension + kTemporarySuffix;
    created = files::CreateDurable(PathOf(temporary), content, &info);
    if (created || !created.exists)
      break;
  }
  if (!created) {
    report_.Failure("spool file not written, payload lost: " + PathOf(stem + kSpoolExtension),
                    created.reason);
    return false;
  }
  if (beforeRename)
    beforeRename(PathOf(temporary));
  std::string reason;
  const auto name = RenameToFree(PathOf(temporary), stem, kSpoolExtension, &reason);
  if (!name) {
    files::Remove(PathOf(temporary));
    report_.Failure("spool file not written, payload lost: " + PathOf(stem + kSpoolExtension),
                    reason);
    return false;
  }
  files::SyncDirectory(directory_);
  Add(*name, info.modifiedNs);
  return true;
}

std::optional<SpoolFile> SpoolDirectory::Oldest() {
  for (int looked = 0; looked < kMaxEntriesPerCall && !order_.empty(); ++looked) {
    const std::string name = order_.begin()->name;
    Entry& entry = byName_.at(name);
    const uint32_t now = clock_.TickMs();
    // Held entries lie behind all others, so the first one held means all are.
    if (entry.held && platform::TickElapsed(now, entry.heldSinceTick) < kUnreadableHoldMs)
      return std::nullopt;
    files::Bytes content;
    const files::Status read = files::ReadFile(PathOf(name), content);
    if (read.missing) {
      Forget(name);
      continue;
    }
    if (!read) {
      order_.erase(entry.key);
      entry.key.rank = nextRank_++;
      order_.insert(entry.key);
      entry.held = true;
      entry.heldSinceTick = now;
      throw std::runtime_error("Cannot read spool file " + PathOf(name) + ": " + read.reason);
    }
    auto item = ParseSpoolFile(content);
    if (!item) {
      SetAside(name, "shorter than 4 bytes");
      continue;
    }
    entry.held = false;
    return SpoolFile{PathOf(name), std::move(*item)};
  }
  return std::nullopt;
}

void SpoolDirectory::ContinueScan() {
  const uint32_t now = clock_.TickMs();
  if (!scan_) {
    if (platform::TickElapsed(now, lastScanEndTick_) < kRescanIntervalMs)
      return;
    scan_ = std::make_unique<files::DirectoryReader>(directory_);
  }
  std::vector<std::string> names;
  const bool more = scan_->Next(kScanBatch, names);
  for (const std::string& name : names) {
    if (Matches(name) && !byName_.count(name))
      Consider(name);
  }
  if (!more) {
    scan_.reset();
    lastScanEndTick_ = now;
  }
}

}  // namespace tessar
