#include "conversion/platform/durable_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessar::files {
namespace {

std::string Reason(int error) {
  char text[256];
  // The GNU strerror_r returns the text, which may not live in `text`.
  return strerror_r(error, text, sizeof text);
}

Status Failed(int error) {
  Status status;
  status.ok = false;
  status.exists = error == EEXIST;
  status.missing = error == ENOENT;
  status.reason = Reason(error);
  return status;
}

std::string OsDirectory(const std::string& directory) {
  return directory.empty() ? "." : directory;
}

Status WriteFully(int descriptor, const uint8_t* data, size_t size, uint64_t offset,
                  bool positioned) {
  size_t done = 0;
  while (done < size) {
    const ssize_t written =
        positioned ? pwrite(descriptor, data + done, size - done, static_cast<off_t>(offset + done))
                   : write(descriptor, data + done, size - done);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return Failed(errno);
    }
    done += static_cast<size_t>(written);
  }
  return {};
}

Status ReadFully(int descriptor, Bytes& bytes) {
  bytes.clear();
  struct stat info {};
  if (fstat(descriptor, &info) == 0 && info.st_size > 0)
    bytes.reserve(static_cast<size_t>(info.st_size));
  uint8_t buffer[1 << 16];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(descriptor, buffer, sizeof buffer, offset);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return Failed(errno);
    }
    if (got == 0)
      return {};
    bytes.insert(bytes.end(), buffer, buffer + got);
    offset += got;
  }
}

}  // namespace

std::optional<FileInfo> Stat(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;
  return FileInfo{static_cast<int64_t>(info.st_size),
                  static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

Status ReadFile(const std::string& path, Bytes& bytes) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return Failed(errno);
  const Status status = ReadFully(descriptor, bytes);
  close(descriptor);
  return status;
}

Status CreateDurable(const std::string& path, const Bytes& bytes, FileInfo* info) {
  const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (descriptor < 0)
    return Failed(errno);
  Status status = WriteFully(descriptor, bytes.data(), bytes.size(), 0, false);
  if (status && fsync(descriptor) != 0)
    status = Failed(errno);
  struct stat written {};
  if (status && info && fstat(descriptor, &written) == 0)
    *info = FileInfo{
        static_cast<int64_t>(written.st_size),
        static_cast<int64_t>(written.st_mtim.tv_sec) * 1000000000 + written.st_mtim.tv_nsec};
  if (close(descriptor) != 0 && status)
    status = Failed(errno);
  if (!status)
    unlink(path.c_str());
  return status;
}

Status SyncFile(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return Failed(errno);
  Status status;
  if (fsync(descriptor) != 0)
    status = Failed(errno);
  close(descriptor);
  return status;
}

Status RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return {};
  if (errno != EINVAL && errno != ENOSYS)
    return Failed(errno);
  // A file system without the no-replace rename: a hard link is just as
  // unable to replace an existing name.
  if (link(from.c_str(), to.c_str()) != 0)
    return Failed(errno);
  unlink(from.c_str());
  return {};
}

Status SyncDirectory(const std::string& directory) {
  const int descriptor = open(OsDirectory(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0)
    return Failed(errno);
  Status status;
  if (fsync(descriptor) != 0 && errno != EINVAL)
    status = Failed(errno);
  close(descriptor);
  return status;
}

Status Remove(const std::string& path) {
  if (unlink(path.c_str()) != 0)
    return Failed(errno);
  return {};
}

RandomAccessFile::~RandomAccessFile() {
  close(descriptor_);
}

std::unique_ptr<RandomAccessFile> RandomAccessFile::OpenOrCreate(const std::string& path,
                                                                 Status& status) {
  const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    status = Failed(errno);
    return nullptr;
  }
  status = {};
  return std::unique_ptr<RandomAccessFile>(new RandomAccessFile(descriptor));
}

Status RandomAccessFile::LockExclusive() {
  if (flock(descriptor_, LOCK_EX | LOCK_NB) == 0)
    return {};
  return Failed(errno);
}

Status RandomAccessFile::ReadAll(Bytes& bytes) const {
  return ReadFully(descriptor_, bytes);
}

Status RandomAccessFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size) {
  return WriteFully(descriptor_, data, size, offset, true);
}

DirectoryReader::DirectoryReader(const std::string& directory) {
  handle_ = opendir(OsDirectory(directory).c_str());
  if (!handle_)
    failure_ = Reason(errno);
}

DirectoryReader::~DirectoryReader() {
  if (handle_)
    closedir(static_cast<DIR*>(handle_));
}

bool DirectoryReader::Next(size_t limit, std::vector<std::string>& names) {
  if (!handle_)
    return false;
  for (size_t taken = 0; taken < limit;) {
    errno = 0;
    const dirent* entry = readdir(static_cast<DIR*>(handle_));
    if (!entry) {
      if (errno != 0)
        failure_ = Reason(errno);
      closedir(static_cast<DIR*>(handle_));
      handle_ = nullptr;
      return false;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
      continue;
    names.emplace_back(name);
    ++taken;
  }
  return true;
}

}  // namespace tessar::files
