// The command's options that every operation shares, and the run options
// they make for the operation layer.
#pragma once

#include <string>

#include "quillet/operations/backend.h"
#include "quillet/operations/operation.h"
#include "trace_output.h"

namespace quillet::cli {

struct Globals : operations::BackendSetup {
  bool types = false;
  bool transaction = false;
  bool dry_run = false;
  std::string trace_path;
  bool whole_texts = false;
  std::string actor;  // --actor; empty: the OS user
  // update-call --if-unchanged-since: the call's ETag (or version) as
  // last read; empty: no condition.
  std::string if_unchanged_since;
};

// Raises UsageError unless `request_key` is empty or usable. The writes
// are recorded as --actor's (else the OS user's) through `channel`
// ("command", "batch").
operations::RunOptions Options(const Globals& g, std::string request_key,
                               TraceOutput& trace,
                               const char* channel = "command");

}  // namespace quillet::cli
