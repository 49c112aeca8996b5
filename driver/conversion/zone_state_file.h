// The file "sost.mem" behind the zone-state memory: opened at start (created
// empty when missing), loaded whole, kept open, and written one record at a
// time at the record's offset.
#pragma once

#include <memory>
#include <string>

#include "conversion/failure_report.h"
#include "conversion/platform/durable_files.h"
#include "conversion/zone_memory.h"

namespace tessar {

class ZoneStateFile {
 public:
  explicit ZoneStateFile(FailureReport& report) : report_(report) {}

  // Opens the file and loads it into `memory`; throws when it cannot be
  // opened or read.
  void Open(const std::string& path, ZoneStateMemory& memory);
  // Stores one record. A failed write is reported on standard error; the
  // image keeps the new record and a later change of it writes it again.
  void Write(const ZoneWrite& write);

 private:
  FailureReport& report_;
  std::string path_;
  std::unique_ptr<files::RandomAccessFile> file_;
};

}  // namespace tessar
