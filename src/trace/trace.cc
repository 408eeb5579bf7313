// The Trace, its scope, the creation hook that wraps what Quillet creates,
// and the JSON form of an event.
#include <cmath>
#include <nlohmann/json.hpp>

#include "quillet/adapter.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "quillet/text.h"
#include "runtime/creation_hook.h"
#include "trace/trace_state.h"

namespace quillet {
namespace {

std::shared_ptr<Trace::State>& ThreadTrace() {
  thread_local std::shared_ptr<Trace::State> current;
  return current;
}

// The classes whose objects are the adapter's (adapter.h): the only ones
// wrapped; dictionaries and Quillet's own classes are not the back end.
bool IsAdapterClass(StringView name) {
  for (StringView known :
       {adapter::kServiceCallManagerClass, adapter::kServiceCallRecordClass,
        adapter::kServiceCallListClass, adapter::kCreateCallResponseClass,
        adapter::kUpdateCallResponseClass, adapter::kCallTextClass,
        adapter::kSolutionTextClass, adapter::kUserSessionClass,
        adapter::kSerializedItemManagerClass, adapter::kQuestionClass,
        adapter::kLogClass})
    if (EqualsIgnoringCase(known, name)) return true;
  return false;
}

// "Holmfast.Adapter.Boi.UserSession" → "UserSession".
std::string LastSegment(StringView class_name) {
  size_t dot = class_name.rfind(u'.');
  return ToUtf8(dot == StringView::npos ? class_name
                                        : class_name.substr(dot + 1));
}

void Failed(Trace::State& state, uint64_t sequence,
            trace::Clock::time_point start, TraceError error) {
  if (TraceEvent* event = state.Find(sequence)) {
    event->error = std::move(error);
    event->microseconds = trace::MicrosecondsSince(start);
  }
}

class WrappingHook final : public runtime::CreationHook {
 public:
  Ref<Object> Create(StringView class_name,
                     const std::function<Ref<Object>()>& make) override {
    std::shared_ptr<Trace::State> state = trace::Current();
    if (!state || !IsAdapterClass(class_name)) return make();
    std::string type = LastSegment(class_name);
    TraceEvent event;
    event.kind = TraceEventKind::kCreate;
    event.object = type;
    event.class_name = ToUtf8(class_name);
    uint64_t sequence = state->Begin(std::move(event));
    auto start = trace::Clock::now();
    Ref<Object> object;
    try {
      object = make();
    } catch (const Error& e) {
      Failed(*state, sequence, start,
             {e.number(), ToUtf8(e.info().description)});
      throw;
    }
    double microseconds = trace::MicrosecondsSince(start);
    Ref<Object> wrapped = trace::Wrap(state, std::move(object), type);
    if (TraceEvent* created = state->Find(sequence)) {
      created->object = state->Value(Variant(wrapped)).value;
      created->microseconds = microseconds;
    }
    return wrapped;
  }

  void Withheld(StringView class_name, StringView member,
                std::initializer_list<const Variant*> arguments) override {
    const std::shared_ptr<Trace::State>& state = trace::Current();
    if (!state) return;
    TraceEvent event;
    event.kind = TraceEventKind::kWithheld;
    event.object = LastSegment(class_name);
    event.class_name = ToUtf8(class_name);
    event.member = ToUtf8(member);
    for (const Variant* argument : arguments)
      event.arguments.push_back(state->Value(*argument));
    state->Begin(std::move(event));
  }
};

WrappingHook the_hook;

nlohmann::ordered_json Json(const TraceValue& value) {
  nlohmann::ordered_json out{{"type", value.type}};
  if (!value.value.empty() || value.type == "String")
    out["value"] = value.value;
  if (value.type == "String") out["length"] = value.length;
  if (!value.whole) out["whole"] = false;
  return out;
}

nlohmann::ordered_json Json(const std::vector<TraceValue>& values) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const TraceValue& v : values) out.push_back(Json(v));
  return out;
}

}  // namespace

namespace trace {

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start)
      .count();
}

const std::shared_ptr<Trace::State>& Current() { return ThreadTrace(); }

}  // namespace trace

uint64_t Trace::State::Begin(TraceEvent event) {
  event.sequence = next_sequence++;
  events.push_back(std::move(event));
  return events.back().sequence;
}

TraceEvent* Trace::State::Find(uint64_t sequence) {
  if (events.empty() || sequence < events.front().sequence) return nullptr;
  size_t index = sequence - events.front().sequence;
  return index < events.size() ? &events[index] : nullptr;
}

std::string Trace::State::NewLabel(std::string_view type) {
  auto it = labels_given.find(type);
  if (it == labels_given.end())
    it = labels_given.emplace(std::string(type), 0).first;
  return it->first + "#" + std::to_string(++it->second);
}

TraceValue Trace::State::Value(const Variant& value) const {
  TraceValue out;
  out.type = std::string(TypeName(value.type()));
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null:
      break;
    case VarType::String: {
      StringView text = value.AsString();
      out.length = text.size();
      size_t keep = text.size();
      if (!options.whole_texts && keep > options.text_start) {
        keep = options.text_start;
        // Never split a surrogate pair.
        if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] < 0xDC00)
          --keep;
        out.whole = false;
      }
      out.value = ToUtf8(text.substr(0, keep));
      break;
    }
    case VarType::Object: {
      const Object* object = value.AsObject().Get();
      if (!object) {
        out.value = "Nothing";
      } else if (auto it = wrappers.find(object); it != wrappers.end()) {
        out.value = trace::LabelOf(*it->second);
      } else {
        out.value = trace::IsWrapper(*object) ? trace::LabelOf(*object)
                                              : ToUtf8(object->ClassName());
      }
      break;
    }
    case VarType::Array: {
      const SafeArray& array = value.AsArray();
      out.value = "(";
      for (int32_t d = 1; d <= array.Dimensions(); ++d)
        out.value += (d > 1 ? "," : "") + std::to_string(array.LowerBound(d)) +
                     ".." + std::to_string(array.UpperBound(d));
      out.value += ")";
      break;
    }
    default:
      try {
        out.value = ToUtf8(ToString(value));
      } catch (const Error&) {
        out.value = "?";
      }
  }
  return out;
}

Trace::Trace(TraceOptions options) : state_(std::make_shared<State>()) {
  state_->options = options;
}
Trace::~Trace() = default;

const TraceOptions& Trace::options() const { return state_->options; }
const std::vector<TraceEvent>& Trace::events() const { return state_->events; }
std::vector<TraceEvent> Trace::TakeEvents() {
  return std::exchange(state_->events, {});
}

TraceScope::TraceScope(Trace& trace)
    : previous_(std::exchange(ThreadTrace(), trace.state_)),
      previous_hook_(runtime::InstallCreationHook(&the_hook)) {}

TraceScope::~TraceScope() {
  ThreadTrace() = std::move(previous_);
  runtime::InstallCreationHook(
      static_cast<runtime::CreationHook*>(previous_hook_));
}

std::string_view KindName(TraceEventKind kind) {
  switch (kind) {
    case TraceEventKind::kCreate:
      return "create";
    case TraceEventKind::kGet:
      return "get";
    case TraceEventKind::kSet:
      return "set";
    case TraceEventKind::kCall:
      return "call";
    case TraceEventKind::kRelease:
      return "release";
    case TraceEventKind::kWithheld:
      return "withheld";
  }
  return "?";
}

std::string ToJsonLine(const TraceEvent& event) {
  nlohmann::ordered_json out{{"seq", event.sequence},
                             {"event", KindName(event.kind)},
                             {"object", event.object}};
  if (!event.class_name.empty()) out["class"] = event.class_name;
  if (!event.member.empty()) out["member"] = event.member;
  if (!event.arguments.empty()) out["args"] = Json(event.arguments);
  if (!event.arguments_after.empty())
    out["args_after"] = Json(event.arguments_after);
  if (event.result) out["result"] = Json(*event.result);
  if (event.error)
    out["error"] = {{"number", event.error->number},
                    {"description", event.error->description}};
  if (event.kind != TraceEventKind::kWithheld)
    out["us"] = std::round(event.microseconds * 10) / 10;
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace quillet
