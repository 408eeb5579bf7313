// The --audit mirror: one JSON line per write the service was asked for,
// carried out or refused (time, token name, route, call or item number,
// status, request key, replayed), appended to a file of its own, as the
// service wrote its audit trail before the event log held it (GET /audit
// reads the event log). Thread-safe.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "runtime/mutex.h"

namespace quillet::cli::http {

class AuditTrail {
 public:
  // Opens `path` for appending (made, mode 0600, when absent); false when it
  // cannot be written.
  bool Open(const std::string& path);
  ~AuditTrail();

  // Opens the file of the same name again, made anew when it was moved
  // away (by logrotate), between two whole lines; false, writing on to the
  // file open until then, when it cannot be.
  bool Reopen();

  // Appends `entry` as one line, with "time" (UTC, ISO 8601) in front.
  void Append(nlohmann::ordered_json entry);

 private:
  std::string path_;  // set by Open, before any other use
  mutable Mutex mutex_;
  int fd_ GUARDED_BY(mutex_) = -1;
};

}  // namespace quillet::cli::http
