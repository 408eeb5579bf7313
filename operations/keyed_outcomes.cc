#include "keyed_outcomes.h"

#include <iostream>
#include <stdexcept>

#include "context_parts.h"
#include "quillet/error.h"
#include "quillet/standins/store_pool.h"
#include "quillet/text.h"

namespace quillet::operations {
namespace {

using json = nlohmann::ordered_json;

std::string Named(const PreparedOperation& p) {
  return std::string(OpName(p.op)) + " " + p.digest;
}

// The back end's words for a key spent on another request.
void Refuse(const PreparedOperation& p, const std::string& key,
            Outcome& outcome) {
  std::string why = "Request key '" + key +
                    "' was already used for a different request; nothing "
                    "was written";
  outcome = Outcome();
  outcome.verdict = Verdict::kKeyConflict;
  outcome.output["result"] = nullptr;
  outcome.output[p.op == Op::kCreateCall || p.op == Op::kUpdateCall
                     ? "errorDescription"
                     : "errorText"] = why;
  outcome.message = "nothing was recorded: " + why;
}

// The verdicts kept, by name: what is stored outlives this build.
const char* VerdictName(Verdict verdict) {
  return verdict == Verdict::kRaised        ? "raised"
         : verdict == Verdict::kKeyConflict ? "key conflict"
                                            : "nothing recorded";
}

// `outcome` made the replay of an answer kept before.
void Replay(const std::string& kept_answer, Outcome& outcome) {
  json kept = json::parse(kept_answer);
  outcome.verdict = kept.at("verdict") == VerdictName(Verdict::kRaised)
                        ? Verdict::kRaised
                    : kept.at("verdict") == VerdictName(Verdict::kKeyConflict)
                        ? Verdict::kKeyConflict
                        : Verdict::kNothingRecorded;
  outcome.output = kept.at("output");
  outcome.message = kept.at("message").get<std::string>();
  outcome.replayed = true;
}

// A write under a key, carried out (a dry run stores nothing).
// A keyed run without a context is the front end's fault: refused rather
// than run unkeyed, which could do the request twice.
bool Keyed(const PreparedOperation& p, const RunOptions& options) {
  bool keyed = !options.request_key.empty() && !options.dry_run &&
               p.op != Op::kTimeFormat;
  if (keyed && !options.context)
    throw std::logic_error("a keyed run needs its front end's context");
  return keyed;
}

// Decided by the request itself: refused, or raised by anything but the
// back end (whose errors may pass).
bool Decided(const Outcome& outcome) {
  if (outcome.verdict == Verdict::kNothingRecorded) return true;
  if (outcome.verdict != Verdict::kRaised || outcome.raised_after_storing)
    return false;
  const json& error = outcome.output.value("error", json());
  return error.is_object() &&
         error.value("number", json()) != standins::kBackendError;
}

}  // namespace

std::string KeyBindings::Bind(const std::string& key,
                              const std::string& request) {
  MutexLock lock(mutex_);
  auto [it, added] = bound_.try_emplace(key, request);
  if (added) {
    order_.push_back(key);
    if (order_.size() > kMaxKeyBindings) {
      bound_.erase(order_.front());
      order_.pop_front();
    }
  }
  return it->second;
}

std::optional<std::string> KeyBindings::Find(const std::string& key) {
  MutexLock lock(mutex_);
  auto it = bound_.find(key);
  if (it == bound_.end()) return std::nullopt;
  return it->second;
}

std::optional<Outcome> KeyBoundToAnother(const PreparedOperation& p,
                                         const RunOptions& options) {
  if (!Keyed(p, options)) return std::nullopt;
  std::optional<std::string> bound =
      options.context->parts().keys.Find(options.request_key);
  if (!bound || *bound == Named(p)) return std::nullopt;
  Outcome outcome;
  Refuse(p, options.request_key, outcome);
  return outcome;
}

std::optional<Outcome> KeptReplay(const PreparedOperation& p,
                                  const RunOptions& options) {
  if (!Keyed(p, options) || options.key_store.empty()) return std::nullopt;
  try {
    standins::BorrowedStore store(options.context->parts().backend,
                                  options.key_store);
    std::optional<std::string> kept = store->KeptAnswer(
        options.request_key, std::string(OpName(p.op)), p.digest);
    if (!kept) return std::nullopt;
    Outcome outcome;
    Replay(*kept, outcome);
    return outcome;
  } catch (const Error&) {  // not known now: the run finds out
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void SettleKeyedOutcome(const PreparedOperation& p, const RunOptions& options,
                        Outcome& outcome, bool log_failed) {
  if (!Keyed(p, options) || outcome.replayed ||
      outcome.verdict == Verdict::kDone || outcome.raised_after_storing)
    return;
  const std::string& key = options.request_key;
  bool conflict = outcome.verdict == Verdict::kKeyConflict;
  // A log that failed answered in the request's place: nothing is kept.
  if ((Decided(outcome) || conflict) && !log_failed &&
      !options.key_store.empty()) {
    json answer = {{"verdict", VerdictName(outcome.verdict)},
                   {"output", outcome.output},
                   {"message", outcome.message}};
    try {
      standins::BorrowedStore store(options.context->parts().backend,
                                    options.key_store);
      standins::KeyHolding held = store->KeepAnswer(
          key, std::string(OpName(p.op)), p.digest,
          answer.dump(-1, ' ', false, json::error_handler_t::replace));
      if (held.by == standins::KeyHolding::By::kAnotherRequest) {
        Refuse(p, key, outcome);
      } else if (!held.answer.empty()) {  // this request's, kept before
        Replay(held.answer, outcome);
      }
      return;
    } catch (const Error& e) {  // the back end is away: bound here only
      std::cerr << "quillet: the answer under the request key was not kept: "
                << ToUtf8(e.info().description) << std::endl;
    } catch (const std::exception& e) {  // a kept answer that cannot be read
      std::cerr << "quillet: the answer under the request key was not kept: "
                << e.what() << std::endl;
    }
  }
  options.context->parts().keys.Bind(key, Named(p));
}

}  // namespace quillet::operations
