#include "measure.h"

#include <sqlite3.h>

#include <fstream>
#include <sstream>

namespace quillet::bench {
namespace {

// The number after `key` in a "key: value" /proc file, times `scale`.
uint64_t ProcField(const char* file, const std::string& key, uint64_t scale) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream rest(line.substr(key.size()));
    uint64_t value = 0;
    rest >> value;
    return value * scale;
  }
  return 0;
}

int64_t Pragma(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t value = 0;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    value = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return value;
}

}  // namespace

uint64_t BytesWritten() { return ProcField("/proc/self/io", "wchar:", 1); }
uint64_t BytesWrittenBy(int pid) {
  return ProcField(("/proc/" + std::to_string(pid) + "/io").c_str(),
                   "wchar:", 1);
}
uint64_t ResidentBytes() {
  return ProcField("/proc/self/status", "VmRSS:", 1024);
}
uint64_t PeakResidentBytes() {
  return ProcField("/proc/self/status", "VmHWM:", 1024);
}
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

uint64_t DatabaseBytesInUse(const std::string& path) {
  sqlite3* db = nullptr;
  uint64_t bytes = 0;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    int64_t pages =
        Pragma(db, "PRAGMA page_count") - Pragma(db, "PRAGMA freelist_count");
    bytes = static_cast<uint64_t>(pages * Pragma(db, "PRAGMA page_size"));
  }
  sqlite3_close(db);
  return bytes;
}

}  // namespace quillet::bench
