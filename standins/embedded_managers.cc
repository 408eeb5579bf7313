// The embedded back end's managers (embedded_managers.h): they hand what
// was submitted to the back end's rules (backend_store.h) with the request
// key, the dry run and the caller's name for the request from the object
// context, and answer what the rules stored.
#include "embedded_managers.h"

#include <functional>
#include <memory>
#include <utility>

#include "embedded_values.h"
#include "quillet/convert.h"
#include "quillet/object_context.h"
#include "quillet/safe_array.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/store_pool.h"
#include "quillet/standins/transaction_host.h"

namespace quillet::standins {
namespace embedded {
namespace {

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

// Tells `store` who writes, through what and, for UpdateCall, with which
// option, as the calling context says, for the events its writes append.
void SetWriter(BackendStore& store) {
  Ref<ObjectContext> context = GetObjectContext();
  if (!context) {
    store.SetActor("", "");
    store.SetExpectedVersion("");
    store.SetUpdateOption(std::nullopt);
    return;
  }
  store.SetActor(ToUtf8(context->Actor()), ToUtf8(context->Channel()));
  store.SetExpectedVersion(ToUtf8(context->ExpectedVersion()));
  auto* host = dynamic_cast<HostContext*>(context.Get());
  store.SetUpdateOption(host && host->UpdateOption() > 0
                            ? std::optional<int64_t>(host->UpdateOption())
                            : std::nullopt);
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

// Tells the context what a submit stored ("call SC000042 was created"),
// so that a failure after it (a log entry that cannot be written) is not
// said to have stored nothing; a dry run stores nothing.
void NoteStored(const std::string& what) {
  if (InDryRun()) return;
  if (Ref<ObjectContext> context = GetObjectContext())
    context->NoteStored(FromUtf8(what));
}

// A list of several records under one key: each record its own request.
std::string RecordKey(const std::string& key, size_t index) {
  if (key.empty() || index == 0) return key;
  return key + "#" + std::to_string(index);
}

// How a store is taken for the operation running: a dry run's store
// creates, migrates and changes nothing of the database, and its writes are
// rolled back.
OpenMode StoreUse() {
  return InDryRun() ? OpenMode::kAsIs : OpenMode::kForWriting;
}

// A store borrowed from a context's pool (store_pool.h) for one scope.
using PooledStore = BorrowedStore;

class Manager final : public adapter::ServiceCallManager {
 public:
  Manager(BackendContext& context, std::string path, int64_t key_retention)
      : pool_(context.Stores()),
        path_(std::move(path)),
        key_retention_(key_retention) {}

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
    std::vector<Submitted> calls = Calls(list);
    for (size_t i = 0; i < calls.size(); ++i) {
      LentPieces lent(calls[i]);
      SubmitOutcome outcome =
          Store().CreateCall(component_, calls[i].call, RecordKey(key, i));
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
    std::vector<Submitted> calls = Calls(list);
    for (size_t i = 0; i < calls.size(); ++i) {
      LentPieces lent(calls[i]);
      SubmitOutcome outcome =
          Store().ChangeCall(component_, calls[i].call, RecordKey(key, i));
      NoteReplayed(outcome.replayed);
      NoteKeyConflict(outcome.key_conflict);
      if (outcome.changed_since_read)
        if (Ref<ObjectContext> context = GetObjectContext())
          context->NoteChangedSinceRead();
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
    if (store_) pool_.GiveBack(path_, std::move(store_));
    closed_ = true;
  }
  ~Manager() override {
    if (store_) pool_.GiveBack(path_, std::move(store_));
  }

 private:
  // A record of the list and what it submits. The list holds the record
  // until the submit returns.
  struct Submitted {
    Record* record;
    CallData call;
  };
  // The texts' pieces of one record, in its call for the time of its
  // submit only.
  class LentPieces {
   public:
    explicit LentPieces(Submitted& s) : s_(s) {
      s_.record->LendPieces(s_.call);
    }
    ~LentPieces() { s_.record->TakeBackPieces(s_.call); }
    LentPieces(const LentPieces&) = delete;
    LentPieces& operator=(const LentPieces&) = delete;

   private:
    Submitted& s_;
  };

  std::vector<Submitted> Calls(const Ref<adapter::ServiceCallList>& list) {
    if (closed_) Refuse("the manager is closed");
    if (!initialized_) Refuse("the manager is not initialised");
    if (!list) RaiseRuntime(errors::kObjectNotSet);
    std::vector<Submitted> calls;
    for (int32_t i = 0; i < list->Count(); ++i) {
      auto* record = dynamic_cast<Record*>(list->Item(i).Get());
      if (!record) Refuse("the list holds a record of another adapter");
      calls.push_back({record, record->Submitted()});
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
    OpenMode use = StoreUse();
    if (store_ && use != store_use_) pool_.GiveBack(path_, std::move(store_));
    if (!store_) store_ = pool_.Take(path_, use);
    store_use_ = use;
    store_->SetKeyRetention(key_retention_);
    store_->SetDryRun(InDryRun());
    store_->SetRequestName(RequestName());
    SetWriter(*store_);
    return *store_;
  }

  StorePool& pool_;
  std::string path_;
  int64_t key_retention_;
  std::string component_;
  bool attached_ = false;
  bool initialized_ = false;
  bool closed_ = false;
  std::unique_ptr<BackendStore> store_;
  OpenMode store_use_ = OpenMode::kForWriting;  // how store_ was taken
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
  SerializedItemManager(BackendContext& context, std::string path,
                        int64_t key_retention)
      : context_(context),
        path_(std::move(path)),
        key_retention_(key_retention) {}

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
    PooledStore store(context_, path_, StoreUse());
    store->SetKeyRetention(key_retention_);
    store->SetDryRun(InDryRun());
    store->SetRequestName(RequestName());
    SetWriter(*store);
    std::string key = RequestKey();
    ItemOutcome outcome = change ? store->ChangeItem(component, rows, key)
                                 : store->CreateItem(component, rows, key);
    NoteReplayed(outcome.replayed);
    NoteKeyConflict(outcome.key_conflict);
    if (!outcome.refusal.empty()) *a[2] = FromUtf8(outcome.refusal);
    if (outcome.refusal.empty() && !outcome.replayed)
      NoteStored(change ? "the item was changed" : "the item was registered");
  }
  BackendContext& context_;
  std::string path_;
  int64_t key_retention_;
};

class Question final : public Object {
 public:
  Question(BackendContext& context, std::string path)
      : context_(context), path_(std::move(path)) {}

 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"GetEngineerTime", 1, [](Object& o, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 1);
           std::string id = ToUtf8(a[0]->IsNull() ? String() : ToString(*a[0]));
           auto& question = static_cast<Question&>(o);
           PooledStore store(question.context_, question.path_, StoreUse());
           return Variant::Long(store->EngineerTime(id));
         }}};
    return &table;
  }

 private:
  BackendContext& context_;
  std::string path_;
};

}  // namespace

ClassFactory CallManagerFactory(BackendContext& context,
                                const std::string& where,
                                int64_t key_retention) {
  return FactoryOf<Manager>(std::ref(context), where, key_retention);
}
ClassFactory SessionFactory() { return FactoryOf<Session>(); }
ClassFactory ItemManagerFactory(BackendContext& context,
                                const std::string& where,
                                int64_t key_retention) {
  return FactoryOf<SerializedItemManager>(std::ref(context), where,
                                          key_retention);
}
ClassFactory QuestionFactory(BackendContext& context,
                             const std::string& where) {
  return FactoryOf<Question>(std::ref(context), where);
}

}  // namespace embedded

}  // namespace quillet::standins
