#include "null_adapter.h"

#include <array>

#include "quillet/class_registry.h"
#include "quillet/convert.h"

namespace quillet::bench {
namespace {

using adapter::CallProperty;

class Record final : public adapter::ServiceCallRecord {
 public:
  Variant Get(CallProperty p) const override {
    return values_[static_cast<size_t>(p)];
  }
  void Set(CallProperty p, Variant value) override {
    values_[static_cast<size_t>(p)] = std::move(value);
  }

 private:
  std::array<Variant, 38> values_;
};

template <class Base>
class Text final : public Base {
 public:
  void AddLine(const String& piece) override { last_size_ = piece.size(); }
  String TextMode() const override { return mode_; }
  void SetTextMode(const String& mode) override { mode_ = mode; }

 private:
  size_t last_size_ = 0;
  String mode_;
};

class List final : public adapter::ServiceCallList {
 public:
  void Add(const Ref<adapter::ServiceCallRecord>& r) override { item_ = r; }
  int32_t Count() const override { return item_ ? 1 : 0; }
  Ref<adapter::ServiceCallRecord> Item(int32_t) const override { return item_; }

 private:
  Ref<adapter::ServiceCallRecord> item_;
};

class NoMessages final : public adapter::MessageList {
 public:
  int32_t Count() const override { return 0; }
  Ref<adapter::AdapterMessage> Item(int32_t) const override { return nullptr; }
};

// The record every submit answers: one per thread, so that threads share
// no reference count.
Ref<adapter::ServiceCallRecord> MakeStored() {
  auto r = MakeRef<Record>();
  r->Set(CallProperty::CallNumber, u"SC000001");
  r->Set(CallProperty::LastTransactionTime, Variant::Long(1796600000));
  r->Set(CallProperty::Contract, u"K-100");
  r->Set(CallProperty::WarrantyFlag, Variant::Byte(1));
  r->Set(CallProperty::Warranty, u"W-STD");
  r->Set(CallProperty::WarrantyDescription, u"Standard");
  r->Set(CallProperty::WarrantyExpiryDate, u"2027-06-30");
  r->Set(CallProperty::ChangedFlag, Variant::Byte(1));
  r->Set(CallProperty::Status, Variant::Byte(15));
  r->Set(CallProperty::Engineer, u"E1");
  r->Set(CallProperty::WaitingFlag, Variant::Byte(0));
  r->Set(CallProperty::WaitingDescription, u"");
  r->Set(CallProperty::ServiceOrder, u"");
  r->Set(CallProperty::HasServiceOrder, false);
  r->Set(CallProperty::SecondaryServiceOrder, u"");
  r->Set(CallProperty::HasSecondaryServiceOrder, false);
  return r;
}

Ref<adapter::ServiceCallRecord> Stored() {
  thread_local Ref<adapter::ServiceCallRecord> stored = MakeStored();
  return stored;
}

template <class Base>
class Response final : public Base {
 public:
  Ref<adapter::ServiceCallList> ReturnedCalls() const override {
    auto list = MakeRef<List>();
    list->Add(Stored());
    return list;
  }
  Ref<adapter::MessageList> Messages() const override {
    return MakeRef<NoMessages>();
  }
};

class Manager final : public adapter::ServiceCallManager {
 public:
  void Initialize(const String&) override {}
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>&) override {
    return MakeRef<Response<adapter::CreateCallResponse>>();
  }
  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>&) override {
    return MakeRef<Response<adapter::UpdateCallResponse>>();
  }
  void Close() override {}
};

class DiscardingLog final : public Object {
 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"WriteEntry", 1,
         [](Object&, InvokeKind, Args) { return Variant(); }}};
    return &table;
  }
};

}  // namespace

const DispatchTable* NullSession::Dispatch() const {
  static const DispatchTable table{
      {u"setUserInfo", 1,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 2);
         static_cast<NullSession&>(o).setUserInfo(ToString(*a[0]),
                                                  ToString(*a[1]));
         return {};
       }},
      {u"addManager", 2, [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         auto* m =
             dynamic_cast<adapter::ServiceCallManager*>(RequireObject(*a[0]));
         static_cast<NullSession&>(o).addManager(*m);
         return {};
       }}};
  return &table;
}

const DispatchTable* NullQuestion::Dispatch() const {
  static const DispatchTable table{
      {u"GetEngineerTime", 1, [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         return Variant::Long(
             static_cast<NullQuestion&>(o).GetEngineerTime(ToString(*a[0])));
       }}};
  return &table;
}

Ref<adapter::ServiceCallManager> NewNullManager() { return MakeRef<Manager>(); }
Ref<adapter::ServiceCallRecord> NewNullRecord() { return MakeRef<Record>(); }
Ref<adapter::ServiceCallList> NewNullList() { return MakeRef<List>(); }
Ref<adapter::CallText> NewNullCallText() {
  return MakeRef<Text<adapter::CallText>>();
}
Ref<adapter::SolutionText> NewNullSolutionText() {
  return MakeRef<Text<adapter::SolutionText>>();
}

void RegisterNullAdapter() {
  adapter::AdapterFactories classes =
      adapter::ValueClasses<Record, List, Response, Text>();
  classes.service_call_manager = FactoryOf<Manager>();
  classes.user_session = FactoryOf<NullSession>();
  classes.question = FactoryOf<NullQuestion>();
  classes.log = FactoryOf<DiscardingLog>();
  adapter::RegisterAdapter(classes, {.replace_existing = true});
}

}  // namespace quillet::bench
