// What a request key is spent on when its request never reaches a write.
//
// The back end keeps a write's answer under its key. A request that ends
// before one is kept here instead:
// - decided by the request itself (its values refused or raised above the
//   back end): its answer is kept in the back end under the key, so a retry
//   is answered the same (replayed) and another request under it is refused;
// - not decided (the back end busy, away or its outcome unknown): nothing
//   is kept there, so a retry runs again, but the key stays bound in the
//   run's context (RunOptions::context) to the request first seen under it:
//   another request under it is refused meanwhile.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "quillet/operations/operation.h"
#include "runtime/mutex.h"

namespace quillet::operations {

// The keys of one context (quillet/operations/context.h) bound to requests
// not decided, oldest forgotten first past kMaxKeyBindings: a bounded memory
// whatever the clients send.
inline constexpr size_t kMaxKeyBindings = 4096;
class KeyBindings {
 public:
  // The request bound to `key`, binding `request` when none is.
  std::string Bind(const std::string& key, const std::string& request)
      EXCLUDES(mutex_);
  std::optional<std::string> Find(const std::string& key) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  std::unordered_map<std::string, std::string> bound_ GUARDED_BY(mutex_);
  std::deque<std::string> order_ GUARDED_BY(mutex_);
};

// Each of these uses the bindings and the stores of `options.context`.

// Before running: a refusal when the key is bound here to another request.
std::optional<Outcome> KeyBoundToAnother(const PreparedOperation& operation,
                                         const RunOptions& options);

// Before running: the replay of the answer kept under the key for this very
// request, if there is one, so that a replay runs (and logs) nothing.
std::optional<Outcome> KeptReplay(const PreparedOperation& operation,
                                  const RunOptions& options);

// After running: keeps or binds as above; the outcome becomes the kept
// answer's replay, or a refusal, when the key held another. An outcome
// whose log entry could not be written (`log_failed`: the log's error
// replaced the request's) is only bound.
void SettleKeyedOutcome(const PreparedOperation& operation,
                        const RunOptions& options, Outcome& outcome,
                        bool log_failed);

}  // namespace quillet::operations
