#include "trace_output.h"

#include <cmath>
#include <iostream>

#include "quillet/operations/json_variant.h"
#include "quillet/operations/usage_error.h"
#include "reopen_signal.h"

namespace quillet::cli {

using operations::DumpJson;
using operations::UsageError;

using json = nlohmann::ordered_json;

namespace {

json ValueJson(const TraceValue& value) {
  json out{{"type", value.type}};
  if (!value.value.empty() || value.type == "String")
    out["value"] = value.value;
  if (value.type == "String") out["length"] = value.length;
  if (!value.whole) out["whole"] = false;
  return out;
}

json ValuesJson(const std::vector<TraceValue>& values) {
  json out = json::array();
  for (const TraceValue& value : values) out.push_back(ValueJson(value));
  return out;
}

}  // namespace

json TraceEventJson(const TraceEvent& event) {
  json out{{"seq", event.sequence},
           {"event", KindName(event.kind)},
           {"object", event.object}};
  if (!event.class_name.empty()) out["class"] = event.class_name;
  if (!event.member.empty()) out["member"] = event.member;
  if (!event.arguments.empty()) out["args"] = ValuesJson(event.arguments);
  if (!event.arguments_after.empty())
    out["args_after"] = ValuesJson(event.arguments_after);
  if (event.result) out["result"] = ValueJson(*event.result);
  if (event.error)
    out["error"] = {{"number", event.error->number},
                    {"description", event.error->description}};
  if (event.kind != TraceEventKind::kWithheld)
    out["us"] = std::round(event.microseconds * 10) / 10;
  return out;
}

TraceOutput::TraceOutput(const std::string& path, bool whole_texts)
    : path_(path), trace_(TraceOptions{.whole_texts = whole_texts}) {
  if (path.empty()) return;
  if (path == "-") {
    out_ = &std::cerr;
    return;
  }
  reopened_ = ReopenRequests();
  file_.open(path, std::ios::trunc);
  if (!file_) throw UsageError("--trace: cannot write '" + path + "'");
  out_ = &file_;
}

bool TraceOutput::Write() {
  if (!out_) return true;
  if (out_ == &file_ && ReopenRequests() != reopened_) {
    // Moved away by logrotate: a new file of the name, between events.
    reopened_ = ReopenRequests();
    file_.close();
    file_.clear();
    file_.open(path_, std::ios::app);
  }
  for (const TraceEvent& event : trace_.TakeEvents())
    *out_ << DumpJson(TraceEventJson(event)) << '\n';
  out_->flush();
  return static_cast<bool>(*out_);
}

}  // namespace quillet::cli
