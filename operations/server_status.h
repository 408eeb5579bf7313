// The database server's part of `backend status`: its version, whether it
// replays another's changes, what a COMMIT waits for, each standby and what
// that state risks, as JSON members or as lines of text.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

#include "quillet/standins/server_state.h"

namespace quillet::operations {

nlohmann::ordered_json ServerJson(const standins::ServerState& state);
void PrintServer(std::ostream& out, const standins::ServerState& state);

}  // namespace quillet::operations
