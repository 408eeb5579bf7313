#include "command_options.h"

#include <utility>

namespace quillet::cli {

using operations::CheckRequestKey;
using operations::RunOptions;

RunOptions Options(const Globals& g, std::string request_key,
                   TraceOutput& trace) {
  if (!request_key.empty()) CheckRequestKey(request_key);
  return {.types = g.types,
          .transaction = g.transaction,
          .request_key = std::move(request_key),
          .key_store = g.db,
          .dry_run = g.dry_run,
          .trace = trace.trace(),
          .context = g.context};
}

}  // namespace quillet::cli
