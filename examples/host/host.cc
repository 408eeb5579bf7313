// A host that embeds Quillet and plugs in its own back-end adapter
// (host_adapter.h). The trace of the first call shows the same exchange as
// Quillet saw it; the last call meets a busy ERP, and the host's own object
// context tells it to try again rather than that the call failed.
#include <iostream>

#include "host_adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/object_context.h"
#include "quillet/text.h"
#include "quillet/trace.h"

namespace host {
namespace {

using namespace quillet;

// The host's context for one request: it hears what an adapter's failure
// means (object_context.h) and creates through the class registry.
class Request final : public ObjectContext {
 public:
  String Identity() const override { return u"request-1"; }
  Ref<Object> CreateInstance(StringView class_name) override {
    return CreateObject(class_name);
  }
  void NoteRetryLater() override { failure_ = Failure::kRetryLater; }
  bool RetryLater() const override { return failure_ == Failure::kRetryLater; }
  void NoteOutcomeUnknown() override { failure_ = Failure::kUnknown; }
  bool OutcomeUnknown() const override { return failure_ == Failure::kUnknown; }
  void NoteOtherFailure() override { failure_ = Failure::kOther; }

 private:
  enum class Failure { kNone, kOther, kRetryLater, kUnknown };
  Failure failure_ = Failure::kNone;
};

}  // namespace
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

  details->Remove(u"SOLDTOBP");
  details->Add(u"SOLDTOBP", host::kErpLocked);
  std::cout << "CreateCall while the ERP is locked:\n";
  auto request = MakeRef<host::Request>();
  {
    ObjectContextScope in_request(request);
    created = calls->CreateCall(details, error);
  }
  if (created || !request->RetryLater()) return 1;
  std::cout << "-> try again: " << ToUtf8(ToString(error)) << "\n";
  return 0;
}
