// `quillet batch FILE`: one operation per JSON line, each under the request
// key BatchLineKey(identity, line), the identity being --batch-id or what
// the lines say (BatchIdentity): running the same batch again records
// nothing twice and answers each line as the first run did. A file whose
// lines' keys are under the identity an earlier release gave its bytes
// (EarlierBatchIdentity) goes on under that one. The database
// remembers each run, so that a file edited since its last run is refused
// rather than run again silently.
#pragma once

#include <cstddef>
#include <string>

#include "command_options.h"

namespace quillet::cli {

std::string BatchLineKey(const std::string& identity, size_t line);

// Runs the batch in `path`, its outcomes to `out_path` ("" or "-": standard
// output); answers the exit status. Raises UsageError when the batch cannot
// run at all (nothing ran), the back end's Error when the database cannot
// be opened.
int RunBatch(const Globals& g, const std::string& path,
             const std::string& out_path, const std::string& batch_id,
             bool new_batch);

}  // namespace quillet::cli
