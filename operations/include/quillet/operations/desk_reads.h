// Reads the service desk's console needs beside the API's listings: master
// data to choose from, and a filtered page of the log. Each takes the
// request's query parameters (name to value, a name may repeat) and answers
// the JSON body; a parameter that is not usable raises UsageError.
//
//   partners:  ?search=TEXT&limit=N  -> [{"number", "name"}...]
//              ?number=BP-1&number=BP-2 (up to 100) -> those that exist
//   objects:   ?search=TEXT&limit=N  -> [{"object", "contract", "warranty",
//                                        "warrantyDescription",
//                                        "warrantyExpiryDate"}...]
//   call count: the filters of the calls listing (its `after` and `limit`
//              ignored) -> {"count": N, "more": false}: N counted exactly
//              (`more`, always false, kept for callers of the 10,000 cap)
//   call stats: how the calls stand, counted on one snapshot, each group
//              adding up to "calls": {"calls": N, "byStatus": [{"status",
//              "count"}...], "byAge": [{"age": "day" | "3days" | "week" |
//              "older", "count"}...] (since the last change: under a day,
//              1 to 3 days, 3 to 7, 7 or more), "bySoldTo": [{"soldTo",
//              "name", "count"}...] (the 10 partners of the most calls,
//              with their master-data names, "" for none), "otherSoldTo": N}
//   log:       ?number=N&source=TEXT&text=TEXT&since=T&until=T&offset=N&tail=N
//              -> entries, newest first: `offset` (up to 10,000) newest
//              matches skipped, then up to `tail` (up to 10,000) (T: UTC
//              times as the log writes them,
//              2026-12-01T08:30:00Z, compared as written).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "quillet/operations/backend.h"
#include "quillet/operations/views.h"

namespace quillet::operations {

using QueryParams = std::multimap<std::string, std::string>;

// The query parameter `?name=text` as a whole number from 0 to `high`;
// raises UsageError, naming the parameter, for anything else.
int64_t WholeParam(const char* name, const std::string& text, int64_t high);

// Master data as listed for people choosing from it.
enum class MasterList { kBusinessPartners, kServiceObjects };

// These two read a store from the process's pool, as views.h says.
nlohmann::ordered_json MasterDataJson(const BackendSetup& backend,
                                      MasterList list,
                                      const QueryParams& params);

nlohmann::ordered_json CallCountJson(const BackendSetup& backend,
                                     const CallQuery& query);

nlohmann::ordered_json CallStatsJson(const BackendSetup& backend);
// The named views of open work a calls listing may ask for, applied to
// `query`: "open" (every status short of completed, 30), "waiting",
// "mine" (calls of `engineer`, the one a token is bound to) and
// "changed-today" (since 00:00 UTC of `now`, Unix time). Raises UsageError
// for another name, or "mine" without an engineer.
void ApplyCallView(CallQuery& query, const std::string& view,
                   const std::string& engineer, int64_t now);

// The customer filter given as a partner's number, or else as (part of)
// partners' names, ASCII letters in either case: the calls of any partner
// so named (at most 100). A text that names neither finds no call.
void ResolveCustomer(const BackendSetup& backend, CallQuery& query);

nlohmann::ordered_json LogPageJson(const std::string& log_path,
                                   const QueryParams& params);

// UpdateCall's options (quillet/update_options.h), for the console's
// buttons: [{"option": 1, "name": "Record problem", "fields": ["PROBLEM"],
// "confirm": false}, ...]; "fields" are the detail keys the option reads
// beside CALLNUMBER, ENGINEER and ACTIONDONEBY.
nlohmann::ordered_json UpdateOptionsJson();

}  // namespace quillet::operations
