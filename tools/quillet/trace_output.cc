#include "trace_output.h"

#include <iostream>

#include "json_variant.h"

namespace quillet::cli {

TraceOutput::TraceOutput(const std::string& path, bool whole_texts)
    : path_(path), trace_(TraceOptions{.whole_texts = whole_texts}) {
  if (path.empty()) return;
  if (path == "-") {
    out_ = &std::cerr;
    return;
  }
  file_.open(path, std::ios::trunc);
  if (!file_) throw UsageError("--trace: cannot write '" + path + "'");
  out_ = &file_;
}

bool TraceOutput::Write() {
  if (!out_) return true;
  for (const TraceEvent& event : trace_.TakeEvents())
    *out_ << ToJsonLine(event) << '\n';
  out_->flush();
  return static_cast<bool>(*out_);
}

}  // namespace quillet::cli
