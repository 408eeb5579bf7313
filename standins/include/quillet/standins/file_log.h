// The log component's stand-in ("Corvane.Log"): one JSON line per entry,
// appended to a file that the host names.
//
// Each WriteEntry(source, text, number, extra) appends
//   {"time":"2026-12-07T08:00:00.123Z","source":...,"text":...,"number":0,
//    "pid":123,"thread":"...","context":null}
// with one write(2) on a file opened for appending, so entries of concurrent
// threads and processes never interleave. `context` is the identity of the
// object context the component was created through, else null. A file that
// cannot be opened or written fails WriteEntry with runtime error 75
// ("Path/File access error") naming the file and the reason.
#pragma once

#include <string>

#include "quillet/export.h"
#include "quillet/variant.h"

namespace quillet::standins {

// Registers "Corvane.Log" to write to `path` (replacing any earlier
// registration).
QUILLET_API void RegisterFileLog(const std::string& path);

}  // namespace quillet::standins
