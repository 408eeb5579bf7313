// The inside of a Trace: its events, the labels it gave, and the wrappers
// alive now. Shared by the Trace and every wrapper it made, so a wrapper that
// outlives its Trace still records safely (into nothing anyone reads).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <unordered_map>

#include "quillet/trace.h"
#include "quillet/variant.h"

namespace quillet {

struct Trace::State {
  TraceOptions options;
  std::vector<TraceEvent> events;
  uint64_t next_sequence = 1;
  std::map<std::string, int, std::less<>> labels_given;
  // The wrapped object → its wrapper, while the wrapper lives, so an object
  // handed back again keeps its label.
  std::unordered_map<const Object*, Object*> wrappers;

  // Appends the event with the next sequence number and answers that.
  uint64_t Begin(TraceEvent event);
  // The event still held with this sequence number, or nullptr once taken.
  TraceEvent* Find(uint64_t sequence);
  std::string NewLabel(std::string_view type);
  TraceValue Value(const Variant& value) const;
};

namespace trace {

using Clock = std::chrono::steady_clock;
double MicrosecondsSince(Clock::time_point start);

// The trace recording on this thread, or nullptr.
const std::shared_ptr<Trace::State>& Current();

// `object` wrapped for `state`: an adapter interface gets a typed wrapper,
// anything else a late-bound one labelled after `type` (or its class name).
// Nothing stays Nothing; a wrapper or an object wrapped already answers its
// (one) wrapper.
Ref<Object> Wrap(const std::shared_ptr<Trace::State>& state, Ref<Object> object,
                 std::string_view type = {});

bool IsWrapper(const Object& object);
// A wrapper's label, "ServiceCallRecord#1".
const std::string& LabelOf(const Object& wrapper);

}  // namespace trace
}  // namespace quillet
