#include "command_options.h"

#include <pwd.h>
#include <unistd.h>

#include <utility>

#include "quillet/operations/views.h"

namespace quillet::cli {

using operations::CheckRequestKey;
using operations::RunOptions;

namespace {

// Who runs the command, for the event log: the effective user's name, or
// its number when it has none.
std::string OsUser() {
  uid_t uid = geteuid();
  if (const passwd* entry = getpwuid(uid); entry && entry->pw_name)
    return entry->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace

RunOptions Options(const Globals& g, std::string request_key,
                   TraceOutput& trace, const char* channel) {
  if (!request_key.empty()) CheckRequestKey(request_key);
  return {.types = g.types,
          .transaction = g.transaction,
          .request_key = std::move(request_key),
          .key_store = g.db,
          .dry_run = g.dry_run,
          .trace = trace.trace(),
          .actor = g.actor.empty() ? OsUser() : g.actor,
          .channel = channel,
          .context = g.context,
          .if_match = g.if_unchanged_since.empty()
                          ? std::string()
                          : operations::VersionOfTag(g.if_unchanged_since)};
}

}  // namespace quillet::cli
