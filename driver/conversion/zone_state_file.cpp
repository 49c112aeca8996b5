#include "conversion/zone_state_file.h"

#include <stdexcept>

namespace tessar {

void ZoneStateFile::Open(const std::string& path, ZoneStateMemory& memory) {
  path_ = path;
  files::Status status;
  file_ = files::RandomAccessFile::OpenOrCreate(path, status);
  if (!file_)
    throw std::runtime_error("Cannot open " + path + ": " + status.reason);
  // Two drivers in one home would overwrite each other's zone state and spool
  // files; the second one stops here.
  status = file_->LockExclusive();
  if (!status) {
    file_.reset();
    throw std::runtime_error("Cannot lock " + path + ": " + status.reason +
                             " (another copy of the driver runs in this directory)");
  }
  files::Bytes bytes;
  status = file_->ReadAll(bytes);
  if (!status)
    throw std::runtime_error("Cannot read " + path + ": " + status.reason);
  memory.Load(std::move(bytes));
}

void ZoneStateFile::Write(const ZoneWrite& write) {
  if (!file_)
    return;
  const files::Status status = file_->WriteAt(write.offset, write.bytes.data(), write.bytes.size());
  if (!status)
    report_.Failure(
        "zone state not stored in " + path_ + " at offset " + std::to_string(write.offset),
        status.reason);
}

}  // namespace tessar
