#include "host_adapter.h"

#include <iostream>
#include <map>
#include <vector>

#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/text.h"

namespace host {

using namespace quillet;
using adapter::CallProperty;

namespace {

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

// What the stand-in ERP does with a submitted call: takes it, is busy, or
// takes it and never answers. The adapter tells the context which before it
// raises; a host without a context gets the error alone.
void SendToErp(const Ref<adapter::ServiceCallList>& calls) {
  String customer =
      ToString(calls->Item(0)->Get(CallProperty::SoldToBusinessPartner));
  Ref<ObjectContext> context = GetObjectContext();
  if (customer == kErpLocked) {
    if (context) context->NoteRetryLater();
    Raise({.number = kErpError,
           .source = u"HostErp",
           .description = u"the ERP holds a lock on the customer; nothing "
                          u"was stored"});
  }
  if (customer == kErpSilent) {
    if (context) context->NoteOutcomeUnknown();
    Raise({.number = kErpError,
           .source = u"HostErp",
           .description = u"the ERP took the call and did not answer"});
  }
}

class Manager : public adapter::ServiceCallManager {
 public:
  void Initialize(const String& component) override {
    std::cout << "  Initialize(" << ToUtf8(component) << ")\n";
  }
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>& calls) override {
    std::cout << "  SubmitNewCalls\n";
    SendToErp(calls);
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

}  // namespace

adapter::AdapterFactories HostAdapterClasses() {
  adapter::AdapterFactories classes =
      adapter::ValueClasses<Record, List, Response, Text>();
  classes.service_call_manager = FactoryOf<Manager>();
  classes.user_session = FactoryOf<Anything>("session");
  classes.question = FactoryOf<Anything>("question");
  classes.log = FactoryOf<Anything>("log");
  return classes;
}

void RegisterHostAdapter() { adapter::RegisterAdapter(HostAdapterClasses()); }

}  // namespace host
