// One operation of Calls from a JSON request, as the command line and batch
// files give it:
//   {"op": "create-call" | "update-call", "details": {...}}
//   {"op": "time-format", "value": <any JSON>}
//   {"op": "create-item" | "update-item", "component": "...",
//    "values": [[...], ...], "error": "..."}
// The request is checked and converted whole before anything runs
// (UsageError), so bad input writes nothing to the back end or the log.
// The outcome says, beside the operation's own answer, whether anything was
// recorded, so that every front end reports it the same way.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "json_variant.h"
#include "quillet/calls.h"

namespace quillet::cli {

struct PreparedOperation {
  std::string op;
  Ref<Dictionary> details;
  Variant value;      // time-format's argument, or the item table
  Variant component;  // items only
  Variant error;      // items only: the error text on entry
};

// Raises UsageError naming what is wrong.
PreparedOperation Prepare(const nlohmann::ordered_json& request);

enum class Verdict {
  kDone,            // returned normally and did its work
  kRaised,          // raised an error
  kNothingRecorded  // returned normally, but absorbed a failure or was
                    // refused: nothing was recorded
};

struct Outcome {
  nlohmann::ordered_json output;  // result, errorDescription / errorText,
                                  // error
  Verdict verdict = Verdict::kDone;
  std::string message;  // one line for standard error unless done
  std::string done;     // what was recorded ("call SC000042 was created"),
                        // for messages about a later failure; may be empty
};

// Runs on `calls`, inside a transaction-host context when asked.
Outcome Run(CallsInterface& calls, PreparedOperation& operation, bool types,
            bool transaction);

}  // namespace quillet::cli
