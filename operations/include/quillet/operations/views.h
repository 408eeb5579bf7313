// What the embedded back end and the log file hold, for people (tables) and
// for scripts (JSON). Listings are written one row at a time, so they take
// constant memory however many calls are stored. Text shown in tables never
// carries control characters: they are escaped ("\n", "\x1b").
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "quillet/listing_queries.h"
#include "quillet/operations/backend.h"

namespace quillet::operations {

// Defined once for both sides of the seam (quillet/listing_queries.h).
using quillet::CallQuery;
using quillet::ItemQuery;

// A Unix time as a last transaction time is stored (CallQuery's
// changed_since).
int64_t TransactionTimeAt(int64_t unix_seconds);

// Every read below takes a store from the process's pool (backend.h) and
// raises the back end's Error when the database cannot be read (missing,
// not Quillet's, out of date: a read never makes or changes one).

// A stored call as one object: every property under its record property
// name, Text and SolutionText as arrays of their pieces; nullopt when no
// call has that number.
std::optional<nlohmann::ordered_json> CallJson(const BackendSetup& backend,
                                               const std::string& number);
// The same, and the call's version in `version`: a text that every change
// of the call replaces (the position of its last event in the log, or "t"
// and its last transaction time when the log keeps none), read with it.
// The service answers it as the call's ETag; RunOptions::if_match takes it.
std::optional<nlohmann::ordered_json> CallJson(const BackendSetup& backend,
                                               const std::string& number,
                                               std::string& version);
// A version as an entity tag names it: `"12"` (as the service's ETag
// says it) or `12` give "12", "*" stays "*". Raises UsageError for a text
// that is no entity tag (empty, over 100 characters, a control character,
// a space, a quote inside or a comma: one tag only).
std::string VersionOfTag(std::string_view tag);
// {"serial", "component", "fields": {...}}; nullopt when there is none.
std::optional<nlohmann::ordered_json> ItemJson(const BackendSetup& backend,
                                               const std::string& serial);

// The listings, as a JSON array or as a table with a closing count.
void ListCalls(std::ostream& out, const BackendSetup& backend,
               const CallQuery& query, bool json);
void ListItems(std::ostream& out, const BackendSetup& backend,
               const ItemQuery& query, bool json);
// The listings one element at a time, in their order: `visit` takes each
// element as the JSON listings hold it and its name (the call number, the
// serial number). An exception `visit` raises ends the visit and passes on,
// so a caller with enough stops there.
using ListingVisit = std::function<void(const nlohmann::ordered_json& element,
                                        const std::string& name)>;
void VisitCalls(const BackendSetup& backend, const CallQuery& query,
                const ListingVisit& visit);
void VisitItems(const BackendSetup& backend, const ItemQuery& query,
                const ListingVisit& visit);
// One call or item as a table; false (and nothing written) when there is
// none.
bool PrintCallDetail(std::ostream& out, const BackendSetup& backend,
                     const std::string& number);
bool PrintItem(std::ostream& out, const BackendSetup& backend,
               const std::string& serial);

// The log file's last `tail` lines (all when nullopt), oldest first: as they
// are with `json`, else one readable line each. Answers false when the file
// cannot be read.
bool PrintLog(std::ostream& out, const std::string& path,
              std::optional<size_t> tail, bool json);

}  // namespace quillet::operations
