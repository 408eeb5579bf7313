// A host that embeds Quillet and plugs in its own back-end adapter.
//
// Every outside system Quillet talks to is created by class name through the
// class registry, so a host registers its own classes under those names and
// Quillet uses them with no change. This adapter prints what it is sent and
// answers a fixed record; a real one would talk to the ERP. The trace of the
// first call shows the same exchange as Quillet saw it.
#include <iostream>
#include <map>

#include "quillet/adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/text.h"
#include "quillet/trace.h"

namespace host {

using namespace quillet;
using adapter::CallProperty;

class Record : public adapter::ServiceCallRecord {
 public:
  Variant Get(CallProperty p) const override {
    auto it = values_.find(p);
    if (it != values_.end()) return it->second;
    switch (adapter::Describe(p).type) {
      case VarType::String:
        return String();
      case VarType::Boolean:
        return false;
      case VarType::Object:
        return Ref<Object>();
      case VarType::Byte:
        return Variant::Byte(0);
      default:
        return Variant::Long(0);
    }
  }
  void Set(CallProperty p, Variant value) override {
    if (!value.IsObject())
      std::cout << "  " << ToUtf8(adapter::Describe(p).name) << " = "
                << ToUtf8(ToString(value)) << "\n";
    values_[p] = std::move(value);
  }

 private:
  std::map<CallProperty, Variant> values_;
};

template <class Base>
class Text : public Base {
 public:
  void AddLine(const String& piece) override {
    std::cout << "  text piece of " << piece.size() << " characters\n";
  }
  String TextMode() const override { return mode_; }
  void SetTextMode(const String& mode) override { mode_ = mode; }

 private:
  String mode_;
};

class List : public adapter::ServiceCallList {
 public:
  void Add(const Ref<adapter::ServiceCallRecord>& r) override {
    items_.push_back(r);
  }
  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }
  Ref<adapter::ServiceCallRecord> Item(int32_t i) const override {
    return items_.at(static_cast<size_t>(i));
  }

 private:
  std::vector<Ref<adapter::ServiceCallRecord>> items_;
};

class NoMessages : public adapter::MessageList {
 public:
  int32_t Count() const override { return 0; }
  Ref<adapter::AdapterMessage> Item(int32_t) const override { return nullptr; }
};

template <class Base>
class Response : public Base {
 public:
  Ref<adapter::ServiceCallList> ReturnedCalls() const override {
    auto record = MakeRef<Record>();
    record->Set(CallProperty::CallNumber, u"HOST-1");
    record->Set(CallProperty::LastTransactionTime, Variant::Long(1));
    record->Set(CallProperty::Status, Variant::Byte(15));
    auto list = MakeRef<List>();
    list->Add(record);
    return list;
  }
  Ref<adapter::MessageList> Messages() const override {
    return MakeRef<NoMessages>();
  }
};

class Manager : public adapter::ServiceCallManager {
 public:
  void Initialize(const String& component) override {
    std::cout << "  Initialize(" << ToUtf8(component) << ")\n";
  }
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>&) override {
    std::cout << "  SubmitNewCalls\n";
    return MakeRef<Response<adapter::CreateCallResponse>>();
  }
  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>&) override {
    std::cout << "  SubmitChangedCalls\n";
    return MakeRef<Response<adapter::UpdateCallResponse>>();
  }
  void Close() override { std::cout << "  Close\n"; }
};

// Late-bound outside objects: any name it is asked for answers Empty.
class Anything : public Object {
 public:
  explicit Anything(const char* what) : what_(what) {}
  DispId IdOfName(StringView) const override { return 1; }
  Variant Invoke(DispId, InvokeKind, Args args) override {
    std::cout << "  " << what_ << " called with " << args.size()
              << " argument(s)\n";
    return Variant::Long(15);  // the engineer time, where asked
  }

 private:
  const char* what_;
};

void RegisterHostAdapter() {
  adapter::AdapterFactories classes =
      adapter::ValueClasses<Record, List, Response, Text>();
  classes.service_call_manager = FactoryOf<Manager>();
  classes.user_session = FactoryOf<Anything>("session");
  classes.question = FactoryOf<Anything>("question");
  classes.log = FactoryOf<Anything>("log");
  adapter::RegisterAdapter(classes);
}

}  // namespace host

int main() {
  using namespace quillet;
  host::RegisterHostAdapter();
  RegisterQuillet();
  Ref<CallsInterface> calls = CreateAs<CallsInterface>(kCallsClassName);

  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"COMPONENT", u"HostDesk");
  details->Add(u"SOLDTOBP", u"BP-1");
  details->Add(u"Q_TEXT", u"Screen flickers");
  details->Add(u"TIMESPENT", 20);
  Variant error;
  std::cout << "CreateCall:\n";
  // The trace records what Quillet sent to this adapter, in order.
  Trace trace;
  Ref<Dictionary> created;
  {
    TraceScope traced(trace);
    created = calls->CreateCall(details, error);
  }
  if (!created || !created->Exists(u"CALLNUMBER")) return 1;
  std::cout << "Its trace:\n";
  for (const TraceEvent& event : trace.events())
    std::cout << "  " << ToJsonLine(event) << "\n";
  std::cout << "-> CALLNUMBER "
            << ToUtf8(created->Item(u"CALLNUMBER").AsString()) << "\n";

  Ref<Dictionary> change = MakeRef<Dictionary>();
  change->Add(u"CALLNUMBER", created->Item(u"CALLNUMBER"));
  change->Add(u"OPTION", 1);
  change->Add(u"PROBLEM", u"CABLE");
  std::cout << "UpdateCall:\n";
  Variant updated = calls->UpdateCall(change, error);
  auto state = QueryInterface<Dictionary>(updated.AsObject());
  if (!state) return 1;
  std::cout << "-> STATUS " << int{state->Item(u"STATUS").AsByte()} << "\n";
  return 0;
}
