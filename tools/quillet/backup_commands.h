// The operator's backup commands: `backend backup FILE` and `backend
// restore FILE` (the work is the operation layer's, operations/backup.h).
// Each says what it did on standard output, its progress on a large
// database on standard error, and answers the exit status
// (exit_status.h); each raises UsageError for what it refuses and the back
// end's Error when a copy fails.
#pragma once

#include <string>

#include "command_options.h"

namespace quillet::cli {

// Refuses a FILE that is one the database, the log or the service keeps
// (output_paths.h; `audit_path`: the service's audit trail), then backs up.
int RunBackup(const Globals& g, const std::string& file,
              const std::string& audit_path);
int RunRestore(const Globals& g, const std::string& file);

}  // namespace quillet::cli
