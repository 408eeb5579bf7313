// `quillet events`: the event log read through the operation layer, from a
// position on, one readable line per event or one JSON object per line;
// with --follow it polls for new events until SIGINT or SIGTERM (exit 0).
// It never skips an event a later read could see and shows none twice: it
// goes on from each page's `next`. A position whose events were pruned is a
// UsageError (exit 2).
#pragma once

#include <cstdint>
#include <string>

#include "command_options.h"

namespace CLI {
class App;
}

namespace quillet::cli {

struct EventsOptions {
  int64_t after = 0;
  bool follow = false;
  bool json = false;
  std::string call, item, operation;
};

// The options of `events` on `command`.
void AddEventsOptions(CLI::App& command, EventsOptions& options);

int RunEvents(const Globals& g, const EventsOptions& o);

}  // namespace quillet::cli
