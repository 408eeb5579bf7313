// One operation from the command line: the request checked, Quillet set up
// over the back end, the answer on standard output, what happened on
// standard error, and the exit status (exit_status.h) returned.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "command_options.h"

namespace quillet::cli {

// Raises UsageError for a request or key that cannot be used (nothing ran),
// and the back end's Error when the database cannot be opened. The request
// is let go once it has been read, before the operation runs: a long text
// is not held twice.
int RunOne(const Globals& g, nlohmann::ordered_json request,
           const std::string& key);

}  // namespace quillet::cli
