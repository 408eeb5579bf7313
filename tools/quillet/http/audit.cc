#include "http/audit.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <fstream>

namespace quillet::cli::http {

bool AuditTrail::Open(const std::string& path) {
  path_ = path;
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  return fd_ >= 0;
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
  std::lock_guard lock(mutex_);
  if (fd_ >= 0 && write(fd_, text.data(), text.size()) < 0) {
    // A lost audit line is not worth a failed request: the access log has
    // the same request.
  }
}

nlohmann::ordered_json AuditTrail::Read(size_t limit, const std::string& field,
                                        const std::string& value) const {
  std::deque<nlohmann::ordered_json> newest;
  {
    std::lock_guard lock(mutex_);
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      auto entry = nlohmann::ordered_json::parse(line, nullptr, false);
      if (entry.is_discarded()) continue;
      if (!field.empty()) {
        auto it = entry.find(field);
        if (it == entry.end() || *it != value) continue;
      }
      newest.push_back(std::move(entry));
      if (newest.size() > limit) newest.pop_front();
    }
  }
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (auto it = newest.rbegin(); it != newest.rend(); ++it)
    out.push_back(std::move(*it));
  return out;
}

}  // namespace quillet::cli::http
