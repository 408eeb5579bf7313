// Request traces: the --trace file, and the trace in an answer's body;
// the files the service appends to, opened again on SIGHUP.
#include <iostream>

#include "http/service.h"
#include "quillet/operations/json_variant.h"
#include "trace_output.h"

namespace quillet::cli::http {

using operations::DumpJson;

// Opens --trace FILE for appending; false when it cannot be written.
bool Service::OpenTraceFile(const std::string& path) {
  MutexLock lock(trace_mutex_);
  trace_file_.open(path, std::ios::app);
  return trace_file_.is_open();
}

void Service::ReopenFiles() {
  if (!options_.trace_path.empty()) {
    MutexLock lock(trace_mutex_);  // between two requests' events
    trace_file_.close();
    trace_file_.clear();
    trace_file_.open(options_.trace_path, std::ios::app);
    if (!trace_file_.is_open())
      std::cerr << "quillet: --trace: cannot open the file again; no trace "
                   "is written until it can be (SIGHUP)"
                << std::endl;
  }
  if (options_.audit_path.empty() || audit_.Reopen())
    std::cerr << "quillet: trace and audit files opened again" << std::endl;
  else
    std::cerr << "quillet: --audit: cannot open the file again; the audit "
                 "trail goes on in the file open until now"
              << std::endl;
}

bool Service::TracingToFile() {
  MutexLock lock(trace_mutex_);
  return trace_file_.is_open();
}

void Service::Traced(const std::vector<TraceEvent>& events, Switch in_body,
                     Json& output) {
  {
    MutexLock lock(trace_mutex_);
    if (trace_file_.is_open()) {
      for (const TraceEvent& event : events)
        trace_file_ << DumpJson(TraceEventJson(event)) << '\n';
      trace_file_.flush();
    }
  }
  if (in_body == Switch::kOff) return;
  Json& out = output["trace"] = Json::array();
  for (const TraceEvent& event : events) out.push_back(TraceEventJson(event));
}

}  // namespace quillet::cli::http
