#include "http/audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

namespace quillet::cli::http {

namespace {

// `path` open for appending (made, mode 0600, when absent); -1 when it
// cannot be written.
int OpenForAppending(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // A line torn by a crash or a full disk is ended, so that the next entry
  // is not glued to it and lost.
  struct stat st {};
  char last = '\n';
  if (fstat(fd, &st) == 0 && st.st_size > 0 &&
      pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' &&
      write(fd, "\n", 1) != 1) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool AuditTrail::Open(const std::string& path) {
  MutexLock lock(mutex_);
  path_ = path;
  fd_ = OpenForAppending(path);
  return fd_ >= 0;
}

bool AuditTrail::Reopen() {
  int fd = OpenForAppending(path_);
  if (fd < 0) return false;
  {
    MutexLock lock(mutex_);  // Append writes a line at a time under it
    std::swap(fd, fd_);
  }
  if (fd >= 0) close(fd);
  return true;
}

AuditTrail::~AuditTrail() {
  if (fd_ >= 0) close(fd_);
}

void AuditTrail::Append(nlohmann::ordered_json entry) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
  nlohmann::ordered_json line = {{"time", time}};
  line.update(entry);
  std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
      "\n";
  MutexLock lock(mutex_);
  if (fd_ >= 0 && write(fd_, text.data(), text.size()) < 0) {
    // A lost audit line is not worth a failed request: the access log has
    // the same request.
  }
}

}  // namespace quillet::cli::http
