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

nlohmann::ordered_json AuditTrail::Read(size_t limit, const std::string& field,
                                        const std::string& value) const {
  // Read backwards a block at a time, from the end as it is now: only as
  // much of the file as the page needs, never the whole trail in memory,
  // and never holding up the writes (which only append past that end).
  constexpr off_t kBlock = 64 * 1024;
  constexpr size_t kLongestLine = 1 << 20;  // longer: not ours, skipped
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  off_t pos = lseek(fd, 0, SEEK_END);
  std::string tail;       // the start of the line after the block being read
  bool whole = false;     // `tail` begins after a line break already seen
  bool skipping = false;  // in a line too long to keep
  std::string block;
  auto take = [&](std::string_view line) {
    auto entry = nlohmann::ordered_json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) return;
    if (!field.empty()) {
      auto it = entry.find(field);
      if (it == entry.end() || *it != value) return;
    }
    out.push_back(std::move(entry));
  };
  while (pos > 0 && out.size() < limit) {
    off_t n = std::min(kBlock, pos);
    pos -= n;
    block.resize(static_cast<size_t>(n));
    if (pread(fd, block.data(), block.size(), pos) != n) break;
    std::string text = block + tail;
    size_t end = text.size();
    // Lines are complete between two breaks; the first piece waits for the
    // block before it. The last piece of the file (no break after it) is a
    // line being written: not yet in the trail.
    for (size_t br = text.rfind('\n', end == 0 ? 0 : end - 1);
         br != std::string::npos && out.size() < limit;
         br = br == 0 ? std::string::npos : text.rfind('\n', br - 1)) {
      if (whole && !skipping)
        take(std::string_view(text).substr(br + 1, end - br - 1));
      whole = true;
      skipping = false;
      end = br;
    }
    tail = text.substr(0, end);
    if (tail.size() > kLongestLine) {
      tail.clear();
      skipping = true;
    }
  }
  if (pos == 0 && whole && !skipping && out.size() < limit) take(tail);
  close(fd);
  return out;
}

}  // namespace quillet::cli::http
