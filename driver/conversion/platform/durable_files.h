// The file services the event conversion needs beyond the driver's platform
// layer: whole-file reads, durable writes under a temporary name, renames that
// never replace a file, positioned writes for the zone-state file and a
// directory listing that can be read a batch at a time. Every failure comes
// back with the system's reason as text; nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessar::files {

using Bytes = std::vector<uint8_t>;

// The outcome of a file operation; `reason` holds the system's text on failure.
struct Status {
  bool ok = true;
  bool exists = false;   // set by operations that can fail because a name is taken
  bool missing = false;  // set when the named file does not exist
  std::string reason;
  explicit operator bool() const { return ok; }
};

struct FileInfo {
  int64_t size = 0;
  int64_t modifiedNs = 0;  // modification time, nanoseconds since 1970
};

// Information about a regular file; none when it is missing or not a file.
std::optional<FileInfo> Stat(const std::string& path);

// Reads the whole file into `bytes`.
Status ReadFile(const std::string& path, Bytes& bytes);

// Creates `path` (which must not exist), writes `bytes`, flushes them to the
// disk and closes it; `info` receives the new file's size and time.
Status CreateDurable(const std::string& path, const Bytes& bytes, FileInfo* info);

// Flushes an existing file to the disk.
Status SyncFile(const std::string& path);

// Renames `from` to `to` only when `to` does not exist (`exists` set otherwise).
Status RenameNoReplace(const std::string& from, const std::string& to);

// Flushes a directory's entries (renames, creations) to the disk; "" is the
// current directory.
Status SyncDirectory(const std::string& directory);

Status Remove(const std::string& path);

// A file opened for reading and writing at any offset, shared with other
// openers, kept open until destroyed.
class RandomAccessFile {
 public:
  ~RandomAccessFile();
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  // Opens `path`, creating it empty when it does not exist.
  static std::unique_ptr<RandomAccessFile> OpenOrCreate(const std::string& path, Status& status);
  Status ReadAll(Bytes& bytes) const;
  // Takes an exclusive lock on the file for as long as it stays open; fails
  // at once when another opener holds one (another copy of the driver).
  Status LockExclusive();
  // Writes all `size` bytes at `offset`, unbuffered.
  Status WriteAt(uint64_t offset, const uint8_t* data, size_t size);

 private:
  explicit RandomAccessFile(int descriptor) : descriptor_(descriptor) {}
  int descriptor_;
};

// Lists a directory a batch of names at a time, so a large one can be read
// across many short steps. "" is the current directory.
class DirectoryReader {
 public:
  explicit DirectoryReader(const std::string& directory);
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  bool Opened() const { return handle_ != nullptr; }
  const std::string& Failure() const { return failure_; }
  // Appends up to `limit` names ("." and ".." left out); false once the
  // listing has ended (or could not be opened).
  bool Next(size_t limit, std::vector<std::string>& names);

 private:
  void* handle_ = nullptr;
  std::string failure_;
};

}  // namespace tessar::files
