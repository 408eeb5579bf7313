// What the embedded back end and the log file hold, for people (tables) and
// for scripts (JSON). Listings are written one row at a time, so they take
// constant memory however many calls are stored. Text shown in tables never
// carries control characters: they are escaped ("\n", "\x1b").
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

// The listings, as a JSON array or as a table with a closing count.
void ListCalls(std::ostream& out, standins::BackendStore& store,
               const standins::CallQuery& query, bool json);
void ListItems(std::ostream& out, standins::BackendStore& store,
               const standins::ItemQuery& query, bool json);
void PrintCallDetail(std::ostream& out, const standins::StoredCall& call);
void PrintItem(std::ostream& out, const standins::StoredItem& item);

// The log file's last `tail` lines (all when nullopt), oldest first: as they
// are with `json`, else one readable line each. Answers false when the file
// cannot be read.
bool PrintLog(std::ostream& out, const std::string& path,
              std::optional<size_t> tail, bool json);

// `text` with control characters escaped (C0 and DEL as \n, \r, \t or
// \xNN, C1 as \u0085), and bytes that are not UTF-8 as \xNN: for one line
// of a table or a message, whatever the text holds.
std::string Printable(const std::string& text);

}  // namespace quillet::cli
