#include "support/recording_adapter.h"

#include <sstream>

#include "quillet/convert.h"
#include "quillet/dictionary.h"
#include "quillet/safe_array.h"
#include "quillet/text.h"

namespace quillet::testing {

using adapter::CallProperty;

namespace {

// Shared by every scripted object: counted alive while it lives, and every
// call to it is a step of the world (which may fail it).
class Scripted {
 public:
  Scripted(RecordingWorld* world, std::string class_name)
      : world_(world), class_name_(std::move(class_name)) {
    world_->Born(class_name_);
  }
  virtual ~Scripted() { world_->Died(class_name_); }

 protected:
  void Call() const { world_->Step(); }
  RecordingWorld* world_;

 private:
  std::string class_name_;
};

// Lists answer 9 for an index past their ends, as the adapter's do.
size_t Checked(int32_t index, size_t size) {
  if (index < 0 || static_cast<size_t>(index) >= size)
    RaiseRuntime(errors::kSubscriptOutOfRange);
  return static_cast<size_t>(index);
}

template <class Base>
class RecordedObject : public Base, public Scripted {
 public:
  RecordedObject(RecordingWorld* w, const std::string& class_name)
      : Scripted(w, class_name) {}
};

template <class Base>
class RecTextOf : public RecordedObject<Base> {
 public:
  using RecordedObject<Base>::RecordedObject;
  void AddLine(const String&) override { this->Call(); }
  String TextMode() const override {
    this->Call();
    return mode_;
  }
  void SetTextMode(const String& mode) override {
    this->Call();
    mode_ = mode;
  }

 private:
  String mode_;
};
using RecText = RecTextOf<adapter::CallText>;
using RecSolutionText = RecTextOf<adapter::SolutionText>;

class RecRecord : public RecordedObject<adapter::ServiceCallRecord> {
 public:
  using RecordedObject::RecordedObject;
  Variant Get(CallProperty p) const override {
    Call();
    auto it = values_.find(p);
    if (it != values_.end()) return it->second;
    return adapter::UnsetValue(p);
  }
  void Set(CallProperty p, Variant value) override {
    Call();
    values_[p] = std::move(value);
  }
  void Preset(CallProperty p, Variant value) { values_[p] = std::move(value); }

 private:
  std::map<CallProperty, Variant> values_;
};

class RecList : public RecordedObject<adapter::ServiceCallList> {
 public:
  using RecordedObject::RecordedObject;
  void Add(const Ref<adapter::ServiceCallRecord>& record) override {
    Call();
    items_.push_back(record);
  }
  int32_t Count() const override {
    Call();
    return static_cast<int32_t>(items_.size());
  }
  Ref<adapter::ServiceCallRecord> Item(int32_t index) const override {
    Call();
    return items_[Checked(index, items_.size())];
  }
  void Preset(Ref<adapter::ServiceCallRecord> r) { items_.push_back(r); }

 private:
  std::vector<Ref<adapter::ServiceCallRecord>> items_;
};

class RecMessage : public RecordedObject<adapter::AdapterMessage> {
 public:
  RecMessage(RecordingWorld* w, String text)
      : RecordedObject(w, "AdapterMessage"), text_(std::move(text)) {}
  String Text() const override {
    Call();
    return text_;
  }

 private:
  String text_;
};

class RecMessages : public RecordedObject<adapter::MessageList> {
 public:
  RecMessages(RecordingWorld* w, std::vector<std::string> texts)
      : RecordedObject(w, "MessageList"), texts_(std::move(texts)) {}
  int32_t Count() const override {
    Call();
    return static_cast<int32_t>(texts_.size());
  }
  Ref<adapter::AdapterMessage> Item(int32_t index) const override {
    Call();
    return MakeRef<RecMessage>(world_,
                               FromUtf8(texts_[Checked(index, texts_.size())]));
  }

 private:
  std::vector<std::string> texts_;
};

template <class Base>
class RecResponse : public RecordedObject<Base> {
 public:
  using RecordedObject<Base>::RecordedObject;
  Ref<adapter::ServiceCallList> ReturnedCalls() const override {
    this->Call();
    return returned_;
  }
  Ref<adapter::MessageList> Messages() const override {
    this->Call();
    return MakeRef<RecMessages>(this->world_, messages_);
  }
  Ref<adapter::ServiceCallList> returned_;
  std::vector<std::string> messages_;
};

using RecCreateResponse = RecResponse<adapter::CreateCallResponse>;
using RecUpdateResponse = RecResponse<adapter::UpdateCallResponse>;

class RecManager : public RecordedObject<adapter::ServiceCallManager> {
 public:
  RecManager(RecordingWorld* w, const Script* script)
      : RecordedObject(w, "ServiceCallManager"), script_(script) {}
  void Initialize(const String&) override { Call(); }
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>&) override {
    Call();
    return Answer<RecCreateResponse>("CreateCallResponse");
  }
  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>&) override {
    Call();
    if (script_->update_answers_nothing) return nullptr;
    return Answer<RecUpdateResponse>("UpdateCallResponse");
  }
  void Close() override { Call(); }

 private:
  template <class Response>
  Ref<Response> Answer(const std::string& class_name) {
    auto record = MakeRef<RecRecord>(world_, "ServiceCallRecord");
    for (const auto& [p, v] : script_->returned) record->Preset(p, v);
    auto list = MakeRef<RecList>(world_, "ServiceCallList");
    list->Preset(record);
    auto response = MakeRef<Response>(world_, class_name);
    response->returned_ = list;
    response->messages_ = script_->messages;
    return response;
  }
  const Script* script_;
};

// Late-bound only: the session, the serialized-item manager, the question.
class RecLateBound : public Object, public Scripted {
 public:
  RecLateBound(RecordingWorld* w, const std::string& class_name,
               std::vector<std::u16string> members, const Script* script)
      : Scripted(w, class_name),
        members_(std::move(members)),
        script_(script) {}

  DispId IdOfName(StringView name) const override {
    for (size_t i = 0; i < members_.size(); ++i)
      if (members_[i] == name) return static_cast<DispId>(i + 1);
    RaiseRuntime(errors::kNotSupported);
  }
  Variant Invoke(DispId id, InvokeKind, Args args) override {
    const std::u16string& name = members_.at(static_cast<size_t>(id - 1));
    Call();
    if (name == u"GetEngineerTime") return script_->engineer_time;
    if (name == u"addManager" && script_->on_add_manager) {
      RequireArgCount(args, 1);
      script_->on_add_manager(*args[0]);
    }
    if ((name == u"CreateSerializedItem" || name == u"ChangeSerializedItem") &&
        script_->on_serialized_item) {
      RequireArgCount(args, 3);
      script_->on_serialized_item(*args[0], *args[1], *args[2]);
    }
    return {};
  }

 private:
  std::vector<std::u16string> members_;
  const Script* script_;
};

class RecLog : public Object {
 public:
  explicit RecLog(RecordingWorld* w) : world_(w) {}
  DispId IdOfName(StringView name) const override {
    if (name != u"WriteEntry") RaiseRuntime(errors::kNotSupported);
    return 1;
  }
  Variant Invoke(DispId, InvokeKind, Args args) override {
    RequireArgCount(args, 4);
    if (world_->log_write_fails)
      Raise({.number = errors::kPathFileAccess,
             .source = u"Corvane.Log",
             .description = u"Path/File access error"});
    world_->AddLogEntry(
        {ToUtf8(args[0]->IsString() ? args[0]->AsString() : u"?"),
         ToUtf8(args[1]->IsString() ? args[1]->AsString() : u"?"), *args[2],
         Show(*args[3])});
    *args[3] = u"written";  // whatever the log leaves here is discarded
    return {};
  }

 private:
  RecordingWorld* world_;
};

// Texts over 60 code units as String[length] "first 20...".
std::string ShownText(size_t length, const std::string& text) {
  if (length <= 60) return "String \"" + text + "\"";
  return "String[" + std::to_string(length) + "] \"" + text.substr(0, 20) +
         "...\"";
}

template <class T>
std::function<Ref<Object>()> Maker(RecordingWorld* world, const char* name) {
  return [world, name] { return Ref<Object>(MakeRef<T>(world, name)); };
}

}  // namespace

std::string Show(const Variant& value) {
  std::string type(TypeName(value.type()));
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null:
      return type;
    case VarType::String:
      return ShownText(value.AsString().size(), ToUtf8(value.AsString()));
    case VarType::Object: {
      Object* o = value.AsObject().Get();
      if (!o) return "Nothing";
      return "Object " + ToUtf8(o->ClassName());
    }
    case VarType::Array: {
      const SafeArray& a = value.AsArray();
      std::string out = "Array(";
      for (int32_t d = 1; d <= a.Dimensions(); ++d)
        out += (d > 1 ? "," : "") + std::to_string(a.LowerBound(d)) + ".." +
               std::to_string(a.UpperBound(d));
      return out + ")";
    }
    default:
      return type + " " + ToUtf8(ToString(value));
  }
}

std::string Show(const Dictionary& dictionary) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, item] : dictionary.entries()) {
    out += (first ? "" : ", ") + ToUtf8(ToString(key)) + ": " + Show(item);
    first = false;
  }
  return out + "}";
}

namespace {
std::string JournalLine(const TraceEvent& event) {
  auto show = [](const TraceValue& v) -> std::string {
    if (v.type == "Empty" || v.type == "Null") return v.type;
    if (v.type == "String") return ShownText(v.length, v.value);
    if (v.type == "Object")
      return v.value == "Nothing" ? v.value : "Object " + v.value;
    if (v.type == "Array") return "Array" + v.value;
    return v.type + " " + v.value;
  };
  auto list = [&](const std::vector<TraceValue>& values) {
    std::string out;
    for (const TraceValue& v : values)
      out += (out.empty() ? "" : ", ") + show(v);
    return out;
  };
  std::string line;
  switch (event.kind) {
    case TraceEventKind::kCreate:
      line = "new " + event.class_name.substr(event.class_name.rfind('.') + 1);
      break;
    case TraceEventKind::kGet:
      line = event.object + "." + event.member + "?";
      break;
    case TraceEventKind::kSet:
      line = event.object + "." + event.member + " = " + list(event.arguments);
      break;
    case TraceEventKind::kCall:
      line =
          event.object + "." + event.member + "(" + list(event.arguments) + ")";
      break;
    case TraceEventKind::kRelease:
      line = "release " + event.object;
      break;
    case TraceEventKind::kWithheld:
      line = "withheld " + event.object + "." + event.member + "(" +
             list(event.arguments) + ")";
      break;
  }
  return event.error ? line + " !failed" : line;
}
}  // namespace

RecordingWorld::RecordingWorld() {
  tracing_.emplace(trace_);
  auto add = [this](StringView name, ClassFactory factory) {
    registrations_.push_back(
        std::make_unique<ScopedClassRegistration>(name, std::move(factory)));
  };
  // The trace shows the creation; the factory is a step that may fail.
  auto typed = [this, add](StringView name, std::function<Ref<Object>()> make) {
    add(name, [this, make] {
      Step();
      return make();
    });
  };
  auto late_bound = [this](const char* name,
                           std::vector<std::u16string> members) {
    return [this, name, members] {
      return Ref<Object>(MakeRef<RecLateBound>(this, name, members, &script));
    };
  };
  typed(adapter::kServiceCallManagerClass,
        [this] { return Ref<Object>(MakeRef<RecManager>(this, &script)); });
  typed(adapter::kServiceCallRecordClass,
        Maker<RecRecord>(this, "ServiceCallRecord"));
  typed(adapter::kServiceCallListClass,
        Maker<RecList>(this, "ServiceCallList"));
  typed(adapter::kCreateCallResponseClass,
        Maker<RecCreateResponse>(this, "CreateCallResponse"));
  typed(adapter::kUpdateCallResponseClass,
        Maker<RecUpdateResponse>(this, "UpdateCallResponse"));
  typed(adapter::kCallTextClass, Maker<RecText>(this, "CallText"));
  typed(adapter::kSolutionTextClass,
        Maker<RecSolutionText>(this, "SolutionText"));
  typed(adapter::kUserSessionClass,
        late_bound("UserSession", {u"setUserInfo", u"addManager"}));
  typed(adapter::kSerializedItemManagerClass,
        late_bound("SerializedItemManager",
                   {u"CreateSerializedItem", u"ChangeSerializedItem"}));
  typed(adapter::kQuestionClass, late_bound("Question", {u"GetEngineerTime"}));
  add(adapter::kLogClass, [this]() -> Ref<Object> {
    if (log_unavailable) RaiseRuntime(errors::kCantCreateObject);
    return Ref<Object>(MakeRef<RecLog>(this));
  });
}

RecordingWorld::~RecordingWorld() {
  tracing_.reset();
  add_removed_.reset();
  while (!registrations_.empty()) registrations_.pop_back();
}

void RecordingWorld::RemoveSessionClass() {
  add_removed_ = std::make_unique<ScopedClassRegistration>(
      adapter::kUserSessionClass, ClassFactory());
}

void RecordingWorld::Step() {
  ++calls_;
  // The trace began the event of this call before passing it on.
  std::string line = JournalLine(trace_.events().back());
  bool fail = (failure.at > 0 && (calls_ == failure.at ||
                                  (failure.from_on && calls_ > failure.at))) ||
              (!failure.matching.empty() &&
               line.find(failure.matching) != std::string::npos);
  if (fail)
    Raise({.number = kInjectedNumber,
           .source = u"Holmfast.Adapter",
           .description = u"Injected failure at " + FromUtf8(line)});
}

std::vector<std::string> RecordingWorld::journal() const {
  std::vector<std::string> lines;
  for (const TraceEvent& event : trace_.events())
    lines.push_back(JournalLine(event));
  return lines;
}

std::vector<std::string> RecordingWorld::AdapterCalls() const {
  std::vector<std::string> lines;
  for (const TraceEvent& event : trace_.events())
    if (event.kind != TraceEventKind::kRelease &&
        event.kind != TraceEventKind::kWithheld &&
        !EqualsIgnoringCase(FromUtf8(event.class_name), adapter::kLogClass) &&
        event.object.rfind("Log#", 0) != 0)
      lines.push_back(JournalLine(event));
  return lines;
}

std::string RecordingWorld::Lines(const std::string& text) const {
  std::string out;
  for (const std::string& line : journal())
    if (line.find(text) != std::string::npos)
      out += (out.empty() ? "" : "\n") + line;
  return out;
}

std::string RecordingWorld::Journal() const {
  std::string out;
  for (const std::string& line : journal()) out += line + "\n";
  return out;
}

int RecordingWorld::LiveTotal() const {
  int total = 0;
  for (const auto& [k, v] : live_) total += v;
  return total;
}

}  // namespace quillet::testing
