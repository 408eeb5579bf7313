// The adapter trace: what Quillet sends to the back end, in order.
//
// While a TraceScope is active on a thread, every object that Quillet creates
// there by one of the class names of adapter.h (manager, record, list,
// responses, texts, session, serialized-item manager, question, log
// component), whoever registered them, is wrapped, and so is every adapter
// object it hands back (returned calls, messages, texts). The wrapper passes
// each call through unchanged and records it: creations, property reads and
// sets with their values and types, method calls with their arguments (and,
// for late-bound calls, the by-reference arguments as they came back), what
// each answered or raised, and releases (Quillet letting go of its last
// reference), each with the time the adapter took to answer.
//
//   Trace trace;                                // texts: length and start
//   {
//     TraceScope traced(trace);                 // this thread, this scope
//     calls->CreateCall(details, error);
//   }
//   for (const TraceEvent& event : trace.events())
//     std::cout << ToJsonLine(event) << '\n';
//
// Without a scope nothing is wrapped, and creating by name costs one
// thread-local read more. A Trace belongs to the thread its scopes run on;
// scopes nest (the inner one records until it ends).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/export.h"

namespace quillet {

struct TraceOptions {
  // Texts (string values) longer than `text_start` characters are recorded
  // as their length and their first `text_start` characters, unless
  // `whole_texts`: call texts can be long and private.
  bool whole_texts = false;
  size_t text_start = 24;
};

// One value as the adapter saw it.
struct TraceValue {
  std::string type;   // "String", "Long", "Byte", "Boolean", "Object", ...
  std::string value;  // UTF-8; an object's label ("ServiceCallRecord#1") or
                      // class name, "Nothing", or an array's bounds
  size_t length = 0;  // strings: characters in the whole text
  bool whole = true;  // false when `value` holds only the text's start
};

enum class TraceEventKind : uint8_t {
  kCreate,    // created by class name
  kGet,       // property read
  kSet,       // property set
  kCall,      // method call
  kRelease,   // Quillet released its last reference
  kWithheld,  // a call that a dry run kept from happening (the log entry)
};

struct TraceError {
  int32_t number = 0;
  std::string description;
};

struct TraceEvent {
  uint64_t sequence = 0;  // 1, 2, ... in the order the calls began
  TraceEventKind kind = TraceEventKind::kCall;
  std::string object;                 // label: "<type>#<n>", numbered per trace
  std::string class_name;             // creations: the name it was created by
  std::string member;                 // property or method
  std::vector<TraceValue> arguments;  // a set's value comes last
  std::vector<TraceValue> arguments_after;  // late-bound calls
  std::optional<TraceValue> result;
  std::optional<TraceError> error;  // what the call raised
  double microseconds = 0;          // time until the adapter answered
};

class QUILLET_API Trace {
 public:
  explicit Trace(TraceOptions options = {});
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  const TraceOptions& options() const;
  // Every event recorded and not yet taken, in sequence order. A call's
  // event is there from its start; its result, error and time are filled in
  // when it returns.
  const std::vector<TraceEvent>& events() const;
  // Hands over the events recorded so far and keeps recording after them.
  std::vector<TraceEvent> TakeEvents();

  struct State;

 private:
  friend class TraceScope;
  std::shared_ptr<State> state_;
};

// Records into `trace` what operations on the calling thread send to the
// adapter, for the life of the scope.
class QUILLET_API TraceScope {
 public:
  explicit TraceScope(Trace& trace);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  std::shared_ptr<Trace::State> previous_;
  void* previous_hook_;
};

// One event as one line of JSON (no line break):
//   {"seq":3,"event":"set","object":"ServiceCallRecord#1","member":"Site",
//    "args":[{"type":"String","value":"North"}],"us":0.4}
// Texts shortened by the options carry "length" and "whole": false.
QUILLET_API std::string ToJsonLine(const TraceEvent& event);
QUILLET_API std::string_view KindName(TraceEventKind kind);

}  // namespace quillet
