#include "quillet/standins/embedded_backend.h"

#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/safe_array.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/store_pool.h"
#include "quillet/text.h"

namespace quillet::standins {
namespace {

using adapter::CallProperty;

[[noreturn]] void Refuse(const std::string& why) {
  Raise({.number = kBackendError,
         .source = u"Holmfast.Adapter.Boi",
         .description = u"Embedded back end: " + FromUtf8(why)});
}

// The request key of the calling context ("" outside one or without a key),
// and a note to the context when the store answered from its record.
std::string RequestKey() {
  Ref<ObjectContext> context = GetObjectContext();
  return context ? ToUtf8(context->RequestKey()) : std::string();
}

// The caller's name for the request ("" when the host gives none).
std::string RequestName() {
  Ref<ObjectContext> context = GetObjectContext();
  return context ? ToUtf8(context->RequestDigest()) : std::string();
}

void NoteReplayed(bool replayed) {
  if (!replayed) return;
  if (Ref<ObjectContext> context = GetObjectContext()) context->NoteReplayed();
}

void NoteKeyConflict(bool conflict) {
  if (!conflict) return;
  if (Ref<ObjectContext> context = GetObjectContext())
    context->NoteKeyConflict();
}

// What this thread's submits stored since TakeStoredNote() last took it.
thread_local std::string stored_note;

void NoteStored(const std::string& what) {
  if (InDryRun()) return;
  stored_note += (stored_note.empty() ? "" : ", ") + what;
}

// A list of several records under one key: each record its own request.
std::string RecordKey(const std::string& key, size_t index) {
  if (key.empty() || index == 0) return key;
  return key + "#" + std::to_string(index);
}

// A store borrowed from the process's pool (store_pool.h) for one scope.
using PooledStore = BorrowedStore;

template <class Base>
class Text final : public Base {
 public:
  void AddLine(const String& piece) override {
    if (piece.size() > 2048)
      Refuse("a text piece is longer than 2048 characters");
    pieces_.push_back(piece);
  }
  String TextMode() const override { return mode_; }
  void SetTextMode(const String& mode) override { mode_ = mode; }

  StoredText Stored() const {
    StoredText out;
    for (const String& p : pieces_) out.pieces.push_back(ToUtf8(p));
    out.text_mode = ToUtf8(mode_);
    return out;
  }

 private:
  std::vector<String> pieces_;
  String mode_;
};
using CallTextImpl = Text<adapter::CallText>;
using SolutionTextImpl = Text<adapter::SolutionText>;

// The record's property names as stored (UTF-8), both ways, made once:
// every call is stored and answered through them.
class StoredNames {
 public:
  static const StoredNames& Get() {
    static const StoredNames names;
    return names;
  }
  const std::string& Of(CallProperty p) const {
    return utf8_[static_cast<size_t>(p)];
  }
  std::optional<CallProperty> Find(const std::string& name) const {
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return std::nullopt;
    return it->second;
  }

 private:
  StoredNames() {
    for (const adapter::CallPropertyInfo& info : adapter::CallProperties()) {
      size_t i = static_cast<size_t>(info.property);
      if (utf8_.size() <= i) utf8_.resize(i + 1);
      utf8_[i] = ToUtf8(info.name);
      by_name_.emplace(utf8_[i], info.property);
    }
  }
  std::vector<std::string> utf8_;
  std::unordered_map<std::string, CallProperty> by_name_;
};

class Record final : public adapter::ServiceCallRecord {
 public:
  Variant Get(CallProperty p) const override {
    auto it = values_.find(p);
    return it == values_.end() ? adapter::UnsetValue(p) : it->second;
  }
  void Set(CallProperty p, Variant value) override {
    values_[p] = std::move(value);
  }

  CallData Submitted() const {
    CallData call;
    const StoredNames& names = StoredNames::Get();
    for (const auto& [p, value] : values_) {
      const adapter::CallPropertyInfo& info = adapter::Describe(p);
      const std::string& name = names.Of(p);
      if (info.type == VarType::Object) {
        Object* o = value.IsObject() ? value.AsObject().Get() : nullptr;
        if (auto* t = dynamic_cast<CallTextImpl*>(o)) {
          call.text = t->Stored();
        } else if (auto* s = dynamic_cast<SolutionTextImpl*>(o)) {
          call.solution_text = s->Stored();
        } else if (o) {
          Refuse(name + " holds a text object of another adapter");
        }
      } else if (info.type == VarType::String) {
        call.properties[name] = {"String", ToUtf8(ToString(value)), 0};
      } else if (info.type == VarType::Boolean) {
        call.properties[name] = {"Boolean", "", ToBoolean(value) ? 1 : 0};
      } else {
        call.properties[name] = {std::string(TypeName(info.type)), "",
                                 ToLong(value)};
      }
    }
    return call;
  }

  static Ref<Record> FromStored(const StoredCall& call) {
    Ref<Record> r = MakeRef<Record>();
    const StoredNames& names = StoredNames::Get();
    for (const auto& [name, v] : call.properties) {
      std::optional<CallProperty> p = names.Find(name);
      if (!p) continue;
      if (v.type == "String") {
        r->values_[*p] = FromUtf8(v.text);
      } else if (v.type == "Byte") {
        r->values_[*p] = Variant::Byte(static_cast<uint8_t>(v.number));
      } else if (v.type == "Boolean") {
        r->values_[*p] = v.number != 0;
      } else {
        r->values_[*p] = Variant::Long(static_cast<int32_t>(v.number));
      }
    }
    return r;
  }

 private:
  std::map<CallProperty, Variant> values_;
};

class List final : public adapter::ServiceCallList {
 public:
  void Add(const Ref<adapter::ServiceCallRecord>& record) override {
    if (!record) RaiseRuntime(errors::kObjectNotSet);
    items_.push_back(record);
  }
  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }
  Ref<adapter::ServiceCallRecord> Item(int32_t index) const override {
    if (index < 0 || index >= Count())
      RaiseRuntime(errors::kSubscriptOutOfRange);
    return items_[static_cast<size_t>(index)];
  }

 private:
  std::vector<Ref<adapter::ServiceCallRecord>> items_;
};

class Message final : public adapter::AdapterMessage {
 public:
  explicit Message(String text) : text_(std::move(text)) {}
  String Text() const override { return text_; }

 private:
  String text_;
};

class Messages final : public adapter::MessageList {
 public:
  void Add(const std::string& text) { texts_.push_back(FromUtf8(text)); }
  int32_t Count() const override { return static_cast<int32_t>(texts_.size()); }
  Ref<adapter::AdapterMessage> Item(int32_t index) const override {
    if (index < 0 || index >= Count())
      RaiseRuntime(errors::kSubscriptOutOfRange);
    return MakeRef<Message>(texts_[static_cast<size_t>(index)]);
  }

 private:
  std::vector<String> texts_;
};

template <class Base>
class Response final : public Base {
 public:
  Ref<adapter::ServiceCallList> ReturnedCalls() const override { return list_; }
  Ref<adapter::MessageList> Messages() const override { return messages_; }
  Ref<List> list_ = MakeRef<List>();
  Ref<class Messages> messages_ = MakeRef<class Messages>();
};

class Manager final : public adapter::ServiceCallManager {
 public:
  Manager(std::string path, int64_t key_retention)
      : path_(std::move(path)), key_retention_(key_retention) {}

  void Attach() { attached_ = true; }

  void Initialize(const String& component) override {
    if (!attached_) Refuse("the manager is not registered with a session");
    component_ = ToUtf8(component);
    initialized_ = true;
  }

  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>& list) override {
    auto response = MakeRef<Response<adapter::CreateCallResponse>>();
    std::string key = RequestKey();
    std::vector<CallData> calls = Calls(list);
    for (size_t i = 0; i < calls.size(); ++i) {
      SubmitOutcome outcome =
          Store().CreateCall(component_, calls[i], RecordKey(key, i));
      NoteReplayed(outcome.replayed);
      NoteKeyConflict(outcome.key_conflict);
      if (outcome.stored && !outcome.replayed)
        NoteStored("call " + outcome.stored->call_number + " was created");
      Answer(*response, outcome);
    }
    return response;
  }

  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>& list) override {
    auto response = MakeRef<Response<adapter::UpdateCallResponse>>();
    bool anything = false;
    std::string key = RequestKey();
    std::vector<CallData> calls = Calls(list);
    for (size_t i = 0; i < calls.size(); ++i) {
      SubmitOutcome outcome =
          Store().ChangeCall(component_, calls[i], RecordKey(key, i));
      NoteReplayed(outcome.replayed);
      NoteKeyConflict(outcome.key_conflict);
      if (outcome.stored && !outcome.replayed && outcome.messages.empty())
        NoteStored("call " + outcome.stored->call_number + " was changed");
      if (outcome.nothing_to_apply) continue;
      anything = true;
      Answer(*response, outcome);
    }
    if (!anything) return nullptr;
    return response;
  }

  // Every write runs in a transaction that a dry run rolls back.
  bool HonoursDryRun() const override { return true; }

  void Close() override {
    if (store_) GiveBackStore(path_, std::move(store_));
    closed_ = true;
  }
  ~Manager() override {
    if (store_) GiveBackStore(path_, std::move(store_));
  }

 private:
  std::vector<CallData> Calls(const Ref<adapter::ServiceCallList>& list) {
    if (closed_) Refuse("the manager is closed");
    if (!initialized_) Refuse("the manager is not initialised");
    if (!list) RaiseRuntime(errors::kObjectNotSet);
    std::vector<CallData> calls;
    for (int32_t i = 0; i < list->Count(); ++i) {
      auto* record = dynamic_cast<Record*>(list->Item(i).Get());
      if (!record) Refuse("the list holds a record of another adapter");
      calls.push_back(record->Submitted());
    }
    return calls;
  }

  template <class R>
  void Answer(R& response, const SubmitOutcome& outcome) {
    response.list_->Add(outcome.stored ? Record::FromStored(*outcome.stored)
                                       : MakeRef<Record>());
    for (const std::string& m : outcome.messages) response.messages_->Add(m);
  }

  BackendStore& Store() {
    if (!store_) store_ = TakeStore(path_);
    store_->SetKeyRetention(key_retention_);
    store_->SetDryRun(InDryRun());
    store_->SetRequestName(RequestName());
    return *store_;
  }

  std::string path_;
  int64_t key_retention_;
  std::string component_;
  bool attached_ = false;
  bool initialized_ = false;
  bool closed_ = false;
  std::unique_ptr<BackendStore> store_;
};

class Session final : public Object {
 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"setUserInfo", 1,
         [](Object&, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 2);
           ToString(*a[0]);
           ToString(*a[1]);
           return {};
         }},
        {u"addManager", 2,
         [](Object&, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 1);
           auto* manager = dynamic_cast<Manager*>(RequireObject(*a[0]));
           if (!manager) RaiseRuntime(errors::kTypeMismatch);
           manager->Attach();
           return {};
         }},
    };
    return &table;
  }
};

// Reads the two-column table into (field, value) rows.
std::vector<std::pair<std::string, std::string>> Rows(const Variant& table) {
  if (!table.IsArray()) RaiseRuntime(errors::kTypeMismatch);
  const SafeArray& a = table.AsArray();
  std::vector<std::pair<std::string, std::string>> rows;
  for (int32_t r = a.LowerBound(1); r <= a.UpperBound(1); ++r)
    rows.emplace_back(ToUtf8(ToString(a.At({r, 0}))),
                      ToUtf8(ToString(a.At({r, 1}))));
  return rows;
}

class SerializedItemManager final : public Object {
 public:
  SerializedItemManager(std::string path, int64_t key_retention)
      : path_(std::move(path)), key_retention_(key_retention) {}

 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"CreateSerializedItem", 1,
         [](Object& o, InvokeKind, Args a) -> Variant {
           static_cast<SerializedItemManager&>(o).Run(false, a);
           return {};
         }},
        {u"ChangeSerializedItem", 2,
         [](Object& o, InvokeKind, Args a) -> Variant {
           static_cast<SerializedItemManager&>(o).Run(true, a);
           return {};
         }},
        {u"HonoursDryRun", 3,
         [](Object&, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 0);
           return true;
         }},
    };
    return &table;
  }

 private:
  void Run(bool change, Args a) {
    RequireArgCount(a, 3);
    auto rows = Rows(*a[0]);
    std::string component = ToUtf8(a[1]->IsNull() ? String() : ToString(*a[1]));
    PooledStore store(path_);
    store->SetKeyRetention(key_retention_);
    store->SetDryRun(InDryRun());
    store->SetRequestName(RequestName());
    std::string key = RequestKey();
    ItemOutcome outcome = change ? store->ChangeItem(component, rows, key)
                                 : store->CreateItem(component, rows, key);
    NoteReplayed(outcome.replayed);
    NoteKeyConflict(outcome.key_conflict);
    if (!outcome.refusal.empty()) *a[2] = FromUtf8(outcome.refusal);
    if (outcome.refusal.empty() && !outcome.replayed)
      NoteStored(change ? "the item was changed" : "the item was registered");
  }
  std::string path_;
  int64_t key_retention_;
};

class Question final : public Object {
 public:
  explicit Question(std::string path) : path_(std::move(path)) {}

 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"GetEngineerTime", 1, [](Object& o, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 1);
           std::string id = ToUtf8(a[0]->IsNull() ? String() : ToString(*a[0]));
           PooledStore store(static_cast<Question&>(o).path_);
           return Variant::Long(store->EngineerTime(id));
         }}};
    return &table;
  }

 private:
  std::string path_;
};

}  // namespace

std::string TakeStoredNote() { return std::exchange(stored_note, {}); }

void RegisterEmbeddedBackend(const std::string& db_path,
                             const EmbeddedBackendOptions& options) {
  int64_t retention = options.key_retention_seconds;
  auto add = [](StringView name, ClassFactory f) {
    RegisterClass(name, std::move(f), {.replace_existing = true});
  };
  add(adapter::kServiceCallManagerClass,
      FactoryOf<Manager>(db_path, retention));
  add(adapter::kServiceCallRecordClass, FactoryOf<Record>());
  add(adapter::kServiceCallListClass, FactoryOf<List>());
  add(adapter::kCreateCallResponseClass,
      FactoryOf<Response<adapter::CreateCallResponse>>());
  add(adapter::kUpdateCallResponseClass,
      FactoryOf<Response<adapter::UpdateCallResponse>>());
  add(adapter::kCallTextClass, FactoryOf<CallTextImpl>());
  add(adapter::kSolutionTextClass, FactoryOf<SolutionTextImpl>());
  add(adapter::kUserSessionClass, FactoryOf<Session>());
  add(adapter::kSerializedItemManagerClass,
      FactoryOf<SerializedItemManager>(db_path, retention));
  add(adapter::kQuestionClass, FactoryOf<Question>(db_path));
}

}  // namespace quillet::standins
