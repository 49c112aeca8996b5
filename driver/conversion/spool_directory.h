// The spool files on disk: one payload per file named PathForSoob + spool
// name + ".dd8". Files are written whole or not at all (under a temporary
// name, flushed, then renamed without replacing anything), and kept in an
// index ordered oldest first (modification time, then name) that one scan
// builds at start, the spooling keeps up to date and an occasional scan, read
// a batch per call, completes with files put there by other means.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "conversion/failure_report.h"
#include "conversion/platform/durable_files.h"
#include "conversion/records.h"
#include "platform/clock.h"

namespace tessar {

// A spool file ready to re-send.
struct SpoolFile {
  std::string path;
  CodedPayload item;
};

class SpoolDirectory {
 public:
  // Temporary files end in this; a leftover one is completed or set aside at start.
  static constexpr char kTemporarySuffix[] = ".tmp";
  // Files that cannot be re-sent are renamed with this added.
  static constexpr char kSetAsideSuffix[] = ".bad";
  // A file that could not be read waits this long before it is tried again.
  static constexpr uint32_t kUnreadableHoldMs = 3000;
  // A scan for files put there by other means starts this long after the last one ended.
  static constexpr uint32_t kRescanIntervalMs = 30 * 1000;
  // Directory entries read per call of ContinueScan.
  static constexpr size_t kScanBatch = 256;

  // `prefix` is PathForSoob, used as a plain prefix: "dir/" or "dir/name"
  // or "" (the current directory).
  SpoolDirectory(std::string prefix, const platform::Clock& clock, FailureReport& report);

  // The start: lists the directory once, completing whole leftover
  // temporary files and setting aside broken ones. A missing directory
  // leaves the index empty; it is looked at again by later scans.
  void Open();

  // Writes one spool file named after local time `now`; a name already taken
  // gets "_0001", "_0002"... before ".dd8". False when the payload is lost
  // (reported on standard error).
  bool Spool(const CodedPayload& item, const platform::LocalTime& now);

  // The oldest spool file that can be re-sent. Entries whose file is gone
  // are dropped; a file too short to hold a code is set aside and the next
  // one taken. A file that cannot be read is moved behind the others, held
  // back for a while, and reported by an exception after the index is in order.
  std::optional<SpoolFile> Oldest();

  // One batch of the occasional scan.
  void ContinueScan();

  size_t Count() const { return byName_.size(); }
  bool Empty() const { return byName_.empty(); }
  // The indexed file names, oldest first.
  std::vector<std::string> Names() const;
  const std::string& Prefix() const { return prefix_; }

  // Runs between writing a temporary file and renaming it; tests make it fail.
  std::function<void(const std::string& temporaryPath)> beforeRename;

 private:
  struct OrderKey {
    int64_t rank = 0;  // 0, or the order in which unreadable files were moved back
    int64_t modifiedNs = 0;
    std::string name;
    auto operator<=>(const OrderKey&) const = default;
  };
  struct Entry {
    OrderKey key;
    uint32_t heldSinceTick = 0;
    bool held = false;
  };

  bool Matches(const std::string& name) const;
  bool MatchesTemporary(const std::string& name) const;
  std::string PathOf(const std::string& name) const { return directory_ + name; }
  void Add(const std::string& name, int64_t modifiedNs);
  void Forget(const std::string& name);
  // Renames `name` to a free name built from `stem` and `extension`; the
  // chosen name, or none (reported).
  std::optional<std::string> RenameToFree(const std::string& from, const std::string& stem,
                                          const std::string& extension, std::string* reason);
  void SetAside(const std::string& name, const std::string& why);
  void RecoverTemporary(const std::string& name);
  void Consider(const std::string& name);

  std::string prefix_;
  std::string directory_;   // the prefix up to its last separator ("" = current directory)
  std::string namePrefix_;  // the rest of the prefix, the start of every file name
  const platform::Clock& clock_;
  FailureReport& report_;

  std::set<OrderKey> order_;
  std::unordered_map<std::string, Entry> byName_;
  int64_t nextRank_ = 1;

  // The occasional scan.
  std::unique_ptr<files::DirectoryReader> scan_;
  uint32_t lastScanEndTick_ = 0;
};

}  // namespace tessar
