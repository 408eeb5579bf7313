// Request traces: the --trace file, and the trace in an answer's body.
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
