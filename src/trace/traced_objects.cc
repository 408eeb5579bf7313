// The wrappers a trace puts around adapter objects. Each passes every call
// to the object it wraps, unchanged but for the wrappers themselves: objects
// going in are unwrapped (the adapter sees only its own objects), adapter
// objects coming back are wrapped (so their use is traced too), and each
// call is recorded with its values, outcome and time.
#include <type_traits>
#include <unordered_map>

#include "quillet/adapter.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/text.h"
#include "trace/trace_state.h"

namespace quillet::trace {
namespace {

using adapter::CallProperty;
using State = Trace::State;

class Wrapper {
 public:
  Wrapper(std::shared_ptr<State> state, Ref<Object> inner, std::string label,
          Object* self)
      : state_(std::move(state)),
        inner_(std::move(inner)),
        label_(std::move(label)) {
    state_->wrappers[inner_.Get()] = self;
  }
  virtual ~Wrapper() {
    state_->wrappers.erase(inner_.Get());
    TraceEvent event;
    event.kind = TraceEventKind::kRelease;
    event.object = label_;
    uint64_t sequence = state_->Begin(std::move(event));
    auto start = Clock::now();
    inner_.Reset();
    if (TraceEvent* released = state_->Find(sequence))
      released->microseconds = MicrosecondsSince(start);
  }
  Wrapper(const Wrapper&) = delete;
  Wrapper& operator=(const Wrapper&) = delete;

  const std::string& label() const { return label_; }
  Object* inner() const { return inner_.Get(); }

 protected:
  // Records the call, runs `forward` and records what it answered or raised,
  // and the arguments as `forward` left them in `*after` (late-bound calls).
  template <class Forward>
  auto Record(TraceEventKind kind, std::string_view member,
              std::vector<TraceValue> arguments, Forward&& forward,
              std::vector<TraceValue>* after = nullptr) const
      -> decltype(forward()) {
    using Result = decltype(forward());
    TraceEvent event;
    event.kind = kind;
    event.object = label_;
    event.member = std::string(member);
    event.arguments = std::move(arguments);
    uint64_t sequence = state_->Begin(std::move(event));
    auto start = Clock::now();
    try {
      if constexpr (std::is_void_v<Result>) {
        forward();
        Done(sequence, start, std::nullopt, after);
      } else {
        Result result = forward();
        Done(sequence, start, Describe(result), after);
        return result;
      }
    } catch (const Error& e) {
      Done(sequence, start,
           TraceError{e.number(), ToUtf8(e.info().description)}, after);
      throw;
    } catch (const std::exception& e) {
      Done(sequence, start, TraceError{0, e.what()}, after);
      throw;
    }
  }

  TraceValue Value(const Variant& value) const { return state_->Value(value); }
  Variant WrapValue(Variant value) const;
  template <class T>
  Ref<T> Wrapped(Ref<T> object) const {
    if (!object) return object;
    Ref<Object> wrapped = Wrap(state_, Ref<Object>(std::move(object)));
    return Ref<T>(dynamic_cast<T*>(wrapped.Get()));
  }
  static Variant Unwrapped(const Variant& value);
  template <class T>
  static Ref<T> Unwrapped(const Ref<T>& object);

  std::shared_ptr<State> state_;

 private:
  // Completes the call's event with its result or its error.
  template <class Outcome>
  void Done(uint64_t sequence, Clock::time_point start, Outcome outcome,
            std::vector<TraceValue>* after) const {
    TraceEvent* event = state_->Find(sequence);
    if (!event) return;
    if constexpr (std::is_same_v<Outcome, TraceError>)
      event->error = std::move(outcome);
    else
      event->result = std::move(outcome);
    if (after) event->arguments_after = std::move(*after);
    event->microseconds = MicrosecondsSince(start);
  }
  std::optional<TraceValue> Describe(const Variant& v) const {
    return Value(v);
  }
  template <class T>
  std::optional<TraceValue> Describe(const Ref<T>& r) const {
    return Value(Variant(Ref<Object>(r)));
  }
  std::optional<TraceValue> Describe(const String& s) const {
    return Value(Variant(s));
  }
  std::optional<TraceValue> Describe(int32_t n) const {
    return Value(Variant::Long(n));
  }
  std::optional<TraceValue> Describe(bool b) const { return Value(Variant(b)); }

  Ref<Object> inner_;
  std::string label_;
};

const Wrapper* AsWrapper(const Object* object) {
  return dynamic_cast<const Wrapper*>(object);
}

Variant Wrapper::Unwrapped(const Variant& value) {
  if (!value.IsObject()) return value;
  const Wrapper* wrapper = AsWrapper(value.AsObject().Get());
  return wrapper ? Variant(Ref<Object>(wrapper->inner())) : value;
}

template <class T>
Ref<T> Wrapper::Unwrapped(const Ref<T>& object) {
  const Wrapper* wrapper = AsWrapper(object.Get());
  return wrapper ? Ref<T>(dynamic_cast<T*>(wrapper->inner())) : object;
}

// The interface `Interface` of the object, traced. Calls reach the wrapped
// object through `target()`.
template <class Interface>
class WrapperOf : public Interface, public Wrapper {
 public:
  WrapperOf(std::shared_ptr<State> state, Ref<Object> inner, Interface* typed,
            std::string_view type)
      : Wrapper(state, std::move(inner), state->NewLabel(type), this),
        target_(typed) {}
  StringView ClassName() const override { return target_->ClassName(); }

 protected:
  Interface& target() const { return *target_; }

 private:
  Interface* target_;  // the wrapped object, owned by Wrapper
};

class TracedRecord final : public WrapperOf<adapter::ServiceCallRecord> {
 public:
  using WrapperOf::WrapperOf;
  Variant Get(CallProperty p) const override {
    return Record(TraceEventKind::kGet, Name(p), {},
                  [&] { return WrapValue(target().Get(p)); });
  }
  void Set(CallProperty p, Variant value) override {
    Record(TraceEventKind::kSet, Name(p), {Value(value)},
           [&] { target().Set(p, Unwrapped(value)); });
  }

 private:
  static std::string Name(CallProperty p) {
    return ToUtf8(adapter::Describe(p).name);
  }
};

template <class Base>
class TracedText final : public WrapperOf<Base> {
 public:
  using WrapperOf<Base>::WrapperOf;
  void AddLine(const String& piece) override {
    this->Record(TraceEventKind::kCall, "AddLine", {this->Value(piece)},
                 [&] { this->target().AddLine(piece); });
  }
  String TextMode() const override {
    return this->Record(TraceEventKind::kGet, "TextMode", {},
                        [&] { return this->target().TextMode(); });
  }
  void SetTextMode(const String& mode) override {
    this->Record(TraceEventKind::kSet, "TextMode", {this->Value(mode)},
                 [&] { this->target().SetTextMode(mode); });
  }
};

class TracedList final : public WrapperOf<adapter::ServiceCallList> {
 public:
  using WrapperOf::WrapperOf;
  void Add(const Ref<adapter::ServiceCallRecord>& record) override {
    Record(TraceEventKind::kCall, "Add", {Value(Variant(record))},
           [&] { target().Add(Unwrapped(record)); });
  }
  int32_t Count() const override {
    return Record(TraceEventKind::kGet, "Count", {},
                  [&] { return target().Count(); });
  }
  Ref<adapter::ServiceCallRecord> Item(int32_t index) const override {
    return Record(TraceEventKind::kCall, "Item", {Value(Variant::Long(index))},
                  [&] { return Wrapped(target().Item(index)); });
  }
};

class TracedMessage final : public WrapperOf<adapter::AdapterMessage> {
 public:
  using WrapperOf::WrapperOf;
  String Text() const override {
    return Record(TraceEventKind::kGet, "Text", {},
                  [&] { return target().Text(); });
  }
};

class TracedMessages final : public WrapperOf<adapter::MessageList> {
 public:
  using WrapperOf::WrapperOf;
  int32_t Count() const override {
    return Record(TraceEventKind::kGet, "Count", {},
                  [&] { return target().Count(); });
  }
  Ref<adapter::AdapterMessage> Item(int32_t index) const override {
    return Record(TraceEventKind::kCall, "Item", {Value(Variant::Long(index))},
                  [&] { return Wrapped(target().Item(index)); });
  }
};

template <class Base>
class TracedResponse final : public WrapperOf<Base> {
 public:
  using WrapperOf<Base>::WrapperOf;
  Ref<adapter::ServiceCallList> ReturnedCalls() const override {
    return this->Record(TraceEventKind::kGet, "ReturnedCalls", {}, [&] {
      return this->Wrapped(this->target().ReturnedCalls());
    });
  }
  Ref<adapter::MessageList> Messages() const override {
    return this->Record(TraceEventKind::kGet, "Messages", {}, [&] {
      return this->Wrapped(this->target().Messages());
    });
  }
};

class TracedManager final : public WrapperOf<adapter::ServiceCallManager> {
 public:
  using WrapperOf::WrapperOf;
  void Initialize(const String& component) override {
    Record(TraceEventKind::kCall, "Initialize", {Value(component)},
           [&] { target().Initialize(component); });
  }
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>& list) override {
    return Record(TraceEventKind::kCall, "SubmitNewCalls", {Value(list)}, [&] {
      return Wrapped(target().SubmitNewCalls(Unwrapped(list)));
    });
  }
  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>& list) override {
    return Record(
        TraceEventKind::kCall, "SubmitChangedCalls", {Value(list)},
        [&] { return Wrapped(target().SubmitChangedCalls(Unwrapped(list))); });
  }
  void Close() override {
    Record(TraceEventKind::kCall, "Close", {}, [&] { target().Close(); });
  }
  bool HonoursDryRun() const override {
    return Record(TraceEventKind::kGet, "HonoursDryRun", {},
                  [&] { return target().HonoursDryRun(); });
  }

 private:
  TraceValue Value(const Ref<adapter::ServiceCallList>& list) const {
    return Wrapper::Value(Variant(list));
  }
  using Wrapper::Value;
};

// Objects called only by name: the session, the serialized-item manager, the
// question, the log, or a class that does not implement its interface.
class TracedLateBound final : public Object,
                              public Wrapper,
                              public ContextMember {
 public:
  TracedLateBound(std::shared_ptr<State> state, Ref<Object> inner,
                  std::string_view type)
      : Wrapper(state, inner, state->NewLabel(type), this) {}

  StringView ClassName() const override { return inner()->ClassName(); }
  DispId IdOfName(StringView name) const override {
    DispId id = inner()->IdOfName(name);
    names_[id] = ToUtf8(name);
    return id;
  }
  Variant Invoke(DispId id, InvokeKind kind, Args args) override;
  // The log joins its context through its wrapper.
  void JoinContext(const ObjectContext& context) override {
    if (auto* member = dynamic_cast<ContextMember*>(inner()))
      member->JoinContext(context);
  }

 private:
  mutable std::unordered_map<DispId, std::string> names_;
};

Variant TracedLateBound::Invoke(DispId id, InvokeKind kind, Args args) {
  auto name = names_.find(id);
  std::string member =
      name != names_.end() ? name->second : "#" + std::to_string(id);
  std::vector<TraceValue> before;
  std::vector<Variant> passed;
  std::vector<Variant*> pointers;
  for (Variant* argument : args) {
    before.push_back(Value(*argument));
    passed.push_back(Unwrapped(*argument));
  }
  for (Variant& p : passed) pointers.push_back(&p);
  // By reference: what the object left in an argument goes back to the
  // caller's variable, wrapped; an object it left alone stays as it was.
  std::vector<TraceValue> after;
  auto write_back = [&] {
    for (size_t i = 0; i < args.size(); ++i) {
      bool untouched = passed[i].IsObject() && Unwrapped(*args[i]).IsObject() &&
                       Unwrapped(*args[i]).AsObject() == passed[i].AsObject();
      if (!untouched) *args[i] = WrapValue(std::move(passed[i]));
      after.push_back(Value(*args[i]));
    }
  };
  TraceEventKind event_kind = kind == InvokeKind::Method ? TraceEventKind::kCall
                              : kind == InvokeKind::PropertyGet
                                  ? TraceEventKind::kGet
                                  : TraceEventKind::kSet;
  return Record(
      event_kind, member, std::move(before),
      [&] {
        Variant answer;
        try {
          answer = inner()->Invoke(id, kind, pointers);
        } catch (...) {
          write_back();
          throw;
        }
        write_back();
        return WrapValue(std::move(answer));
      },
      &after);
}

Variant Wrapper::WrapValue(Variant value) const {
  if (!value.IsObject() || !value.AsObject()) return value;
  Object* object = value.AsObject().Get();
  // Only the adapter's typed objects: any other object handed back is the
  // caller's business, not the back end's.
  if (!dynamic_cast<adapter::ServiceCallManager*>(object) &&
      !dynamic_cast<adapter::ServiceCallRecord*>(object) &&
      !dynamic_cast<adapter::ServiceCallList*>(object) &&
      !dynamic_cast<adapter::CallResponse*>(object) &&
      !dynamic_cast<adapter::MessageList*>(object) &&
      !dynamic_cast<adapter::AdapterMessage*>(object) &&
      !dynamic_cast<adapter::TextLines*>(object))
    return value;
  return Variant(Wrap(state_, value.AsObject()));
}

template <class Traced, class Interface>
Ref<Object> Make(const std::shared_ptr<State>& state, Ref<Object> object,
                 Interface* typed, std::string_view type) {
  return Ref<Object>(MakeRef<Traced>(state, std::move(object), typed, type));
}

}  // namespace

bool IsWrapper(const Object& object) { return AsWrapper(&object) != nullptr; }

const std::string& LabelOf(const Object& wrapper) {
  return AsWrapper(&wrapper)->label();
}

Ref<Object> Wrap(const std::shared_ptr<State>& state, Ref<Object> object,
                 std::string_view type) {
  if (!object || IsWrapper(*object)) return object;
  if (auto it = state->wrappers.find(object.Get()); it != state->wrappers.end())
    return Ref<Object>(it->second);
  Object* o = object.Get();
  if (auto* m = dynamic_cast<adapter::ServiceCallManager*>(o))
    return Make<TracedManager>(state, object, m, "ServiceCallManager");
  if (auto* r = dynamic_cast<adapter::ServiceCallRecord*>(o))
    return Make<TracedRecord>(state, object, r, "ServiceCallRecord");
  if (auto* l = dynamic_cast<adapter::ServiceCallList*>(o))
    return Make<TracedList>(state, object, l, "ServiceCallList");
  if (auto* c = dynamic_cast<adapter::CreateCallResponse*>(o))
    return Make<TracedResponse<adapter::CreateCallResponse>>(
        state, object, c, "CreateCallResponse");
  if (auto* u = dynamic_cast<adapter::UpdateCallResponse*>(o))
    return Make<TracedResponse<adapter::UpdateCallResponse>>(
        state, object, u, "UpdateCallResponse");
  if (auto* ms = dynamic_cast<adapter::MessageList*>(o))
    return Make<TracedMessages>(state, object, ms, "MessageList");
  if (auto* m = dynamic_cast<adapter::AdapterMessage*>(o))
    return Make<TracedMessage>(state, object, m, "AdapterMessage");
  if (auto* t = dynamic_cast<adapter::CallText*>(o))
    return Make<TracedText<adapter::CallText>>(state, object, t, "CallText");
  if (auto* s = dynamic_cast<adapter::SolutionText*>(o))
    return Make<TracedText<adapter::SolutionText>>(state, object, s,
                                                   "SolutionText");
  std::string label_type(type);
  if (label_type.empty()) {
    std::string name = ToUtf8(o->ClassName());
    label_type = name.substr(name.rfind('.') + 1);
  }
  return Ref<Object>(MakeRef<TracedLateBound>(state, object, label_type));
}

}  // namespace quillet::trace
