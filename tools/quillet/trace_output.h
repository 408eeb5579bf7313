// Where the command line's adapter trace goes: --trace FILE writes one JSON
// line per event to FILE (replaced), "-" to standard error, after each
// operation; standard output keeps the operation's own answer only. A
// file is opened again (appended to) before the events that follow a
// SIGHUP the command counts (reopen_signal.h).
#pragma once

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "quillet/operations/usage_error.h"
#include "quillet/trace.h"

namespace quillet::cli {

// One event as a JSON value, member for member as ToJsonLine writes it
// (trace.h), for answers that carry a trace among other values.
nlohmann::ordered_json TraceEventJson(const TraceEvent& event);

class TraceOutput {
 public:
  // No path: no trace. Raises UsageError when the file cannot be written.
  TraceOutput(const std::string& path, bool whole_texts);

  // The trace to record into, or nullptr when off.
  Trace* trace() { return out_ ? &trace_ : nullptr; }
  // Writes the events recorded since the last call; false when they could
  // not be written.
  bool Write();
  std::string name() const { return "the trace to '" + path_ + "'"; }

 private:
  std::string path_;
  Trace trace_;
  std::ofstream file_;
  std::ostream* out_ = nullptr;
  unsigned reopened_ = 0;  // the SIGHUPs counted when file_ was opened
};

}  // namespace quillet::cli
