// What the embedded back end and the log file hold, for people (tables) and
// for scripts (JSON).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "quillet/standins/backend_store.h"

namespace quillet::cli {

// A stored call as one object: every property under its record property
// name, Text and SolutionText as arrays of their pieces.
nlohmann::ordered_json CallJson(const standins::StoredCall& call);
nlohmann::ordered_json ItemJson(const standins::StoredItem& item);

void PrintCallsTable(std::ostream& out,
                     const std::vector<standins::StoredCall>& calls);
void PrintCallDetail(std::ostream& out, const standins::StoredCall& call);
void PrintItemsTable(std::ostream& out,
                     const std::vector<standins::StoredItem>& items);

// The log file's last `tail` lines (all when nullopt), oldest first: as they
// are with `json`, else one readable line each. Answers false when the file
// cannot be read.
bool PrintLog(std::ostream& out, const std::string& path,
              std::optional<size_t> tail, bool json);

}  // namespace quillet::cli
