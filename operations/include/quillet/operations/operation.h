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

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "quillet/calls.h"
#include "quillet/operations/context.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/usage_error.h"
#include "quillet/trace.h"

namespace quillet::operations {

// The five operations, named once when a request is read.
enum class Op : uint8_t {
  kCreateCall,
  kUpdateCall,
  kTimeFormat,
  kCreateItem,
  kUpdateItem,
};

// "create-call", ...: the request's spelling.
std::string_view OpName(Op op);
// The operation a request's "op" names; nullopt for any other text.
std::optional<Op> OpNamed(std::string_view name);
// Whether the operation makes something new (a call or an item).
bool Creates(Op op);

struct PreparedOperation {
  Op op = Op::kTimeFormat;
  Ref<Dictionary> details;
  Variant value;      // time-format's argument, or the item table
  Variant component;  // items only
  Variant error;      // items only: the error text on entry
  // Names the request as the caller gave it (MembersDigest of the operation
  // and its inputs): a retry under a request key is the same request when
  // this is, whatever the back end's master data made of it meanwhile.
  std::string digest;
};

// Raises UsageError naming what is wrong.
PreparedOperation Prepare(const nlohmann::ordered_json& request);

enum class Verdict {
  kDone,             // returned normally and did its work
  kRaised,           // raised an error
  kNothingRecorded,  // returned normally, but absorbed a failure or was
                     // refused: nothing was recorded
  kKeyConflict,      // refused: its request key was used for another request
  kRetryLater,       // the back end was busy or away: nothing was recorded,
                     // and the same request may succeed later
  kOutcomeUnknown,   // the connection to the back end was lost after it was
                     // asked to commit, and what became of the request could
                     // not be found out: it may or may not be recorded
};

struct Outcome {
  nlohmann::ordered_json output;  // result, errorDescription / errorText,
                                  // error
  Verdict verdict = Verdict::kDone;
  bool replayed = false;   // answered from the record of an earlier request
                           // under the same key: nothing was done again
  std::string message;     // one line for standard error unless done
  std::string done;        // what was recorded ("call SC000042 was created"),
                           // for messages about a later failure; may be empty
  bool dry_run = false;    // ran as a dry run: nothing was stored
  bool disk_full = false;  // kRetryLater: the disk holding the database is
                           // full
  bool read_only = false;  // kRetryLater: the database is read-only here
  // kRaised: the database refused the write for want of a permission of
  // its role; nothing was written, and a retry will not help.
  bool not_permitted = false;
  // kNothingRecorded: the call was no longer the version RunOptions::
  // if_match named; nothing was stored.
  bool changed_since_read = false;
  // Raised after its write had been stored (`done` says what: a log entry
  // that could not be written, say): the write stands.
  bool raised_after_storing = false;
  // Stored on the database server, but a synchronous standby that was to
  // confirm it did not (the wait for it was cancelled): one line for
  // standard error; the output says "replication": "unconfirmed".
  std::string warning;
};

struct RunOptions {
  bool types = false;        // values as {"type": ..., "value": ...}
  bool transaction = false;  // inside a transaction-host context
  // The caller's request key (UTF-8); when set, the operation runs in a
  // context that carries it, and a request already carried out under it is
  // answered again without being done twice.
  std::string request_key;
  // The back end (file or URI) that keeps the answer of a keyed request
  // decided before any write (keyed_outcomes.h); empty: none is kept.
  std::string key_store;
  // Runs the operation in full and stores nothing (the answer is what it
  // would have been); the output says "dry_run": true.
  bool dry_run = false;
  // Records what the operation sends to the back end; nullptr: no trace.
  Trace* trace = nullptr;
  // Who asks (a token's name, the OS user or --actor) and through what
  // ("service", "command", "batch"), for the back end's event log; carried
  // in the operation's context (ObjectContext::Actor, Channel).
  std::string actor, channel;
  // The front end's context (context.h): its bindings of request keys and
  // the stores of key_store. Needed for a keyed run (a request key, not a
  // dry run): std::logic_error without one.
  Context* context = nullptr;
  // update-call only: the version of the call the caller last read (its
  // ETag's value, views.h), or "*" for any; the change is made only while
  // the call is that version, checked by the back end in the change's own
  // transaction. Empty: no condition.
  std::string if_match;
};

// Raises UsageError unless `key` is a usable request key: 1 to
// kMaxRequestKeyLength characters (code points) of valid UTF-8, no control
// characters (C0, DEL or C1).
void CheckRequestKey(const std::string& key);

// Runs the operation and judges its outcome from what it answered and what
// the back end told the operation's object context (a replay, a key used
// for another request, busy, outcome unknown, what it stored): never from
// the words of a message. An Error the operation raises is Verdict::kRaised.
// The trace's events stay in `options.trace` for the caller to take.
Outcome Run(CallsInterface& calls, PreparedOperation& operation,
            const RunOptions& options);

}  // namespace quillet::operations
