// CreateCall: one new service call from the call details. Failures are
// absorbed: the caller gets Nothing, the description and a log entry.
#include "calls/calls_impl.h"
#include "calls/text_pieces.h"
#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "reporting/toliva_utilities.h"

namespace quillet {
namespace {

using adapter::CallProperty;
constexpr StringView kMethod = u"Quillet.Calls.CreateCall";
constexpr uint8_t kOriginCode = 40;

// Engineer time recorded against the question plus the caller's own minutes.
int32_t MinutesSpent(Dictionary& details) {
  Ref<Object> question = CreateObject(adapter::kQuestionClass);
  Variant question_id = details.Item(u"Q_ID");
  int32_t engineer =
      ToLong(CallMethod(question.Get(), u"GetEngineerTime", question_id));
  question.Reset();
  int64_t sum = int64_t{engineer} + ToLong(details.Item(u"TIMESPENT"));
  if (sum < INT32_MIN || sum > INT32_MAX) RaiseRuntime(errors::kOverflow);
  return static_cast<int32_t>(sum);
}

}  // namespace

Ref<Dictionary> Calls::CreateCall(const Ref<Dictionary>& i_dictCallDetails,
                                  Variant& o_sErrorDescription) {
  Ref<CallsInterface> self(this);
  ErrorTrap trap(kCallsSource);
  Ref<Dictionary> result;
  Ref<adapter::ServiceCallManager> manager;
  Ref<adapter::ServiceCallRecord> record;
  Ref<adapter::ServiceCallList> list;
  Ref<adapter::CreateCallResponse> response;
  Ref<adapter::CallText> call_text;
  Ref<Dictionary> answer;

  // Releases in the fixed order; the manager is closed before it goes.
  auto exit_block = [&](bool keep_result) {
    call_text.Reset();
    response.Reset();
    if (keep_result && !answer) answer = MakeRef<Dictionary>();
    result = keep_result ? answer : nullptr;
    list.Reset();
    if (manager) manager->Close();
    manager.Reset();
    record.Reset();
  };

  try {
    CreateManager(manager);
    record =
        CreateAs<adapter::ServiceCallRecord>(adapter::kServiceCallRecordClass);
    list = CreateAs<adapter::ServiceCallList>(adapter::kServiceCallListClass);
    response = CreateAs<adapter::CreateCallResponse>(
        adapter::kCreateCallResponseClass);

    Dictionary& details = Details(i_dictCallDetails);
    bool bound = BindManager(ToString(details.Item(u"COMPONENT")), manager);
    if (!bound) {
      exit_block(true);
      return result;
    }

    // Q_TEXT is converted (a Null fails); LINK is only joined. A text
    // given as a string is read where it is: it may be long, and its
    // pieces are cut from it and the joined tail without a whole copy.
    String converted;
    if (const Variant& q_text = details.Item(u"Q_TEXT"); !q_text.IsString())
      converted = ToString(q_text);
    String tail = ToString(Concat(String(u"\r\n"), details.Item(u"LINK")));

    auto set_text = [&](CallProperty p, const char16_t* key) {
      record->Set(p, AsText(details.Item(key)));
    };
    set_text(CallProperty::SoldToBusinessPartner, u"SOLDTOBP");
    set_text(CallProperty::Site, u"SITE");
    set_text(CallProperty::ServiceObject, u"OBJECT");
    set_text(CallProperty::ObjectNumber, u"OBJECTNR");
    set_text(CallProperty::CallDescription, u"CALLDESC");
    set_text(CallProperty::Problem, u"PROBLEM");
    record->Set(CallProperty::Priority,
                Variant::Byte(ToByte(details.Item(u"PRIORITY"))));
    set_text(CallProperty::BusinessPartnerNumber, u"BPNUMBER");
    record->Set(CallProperty::OriginCode, Variant::Byte(kOriginCode));
    set_text(CallProperty::CallGroup1, u"CALLGROUP1");
    set_text(CallProperty::CallGroup2, u"CALLGROUP2");
    set_text(CallProperty::CallerName, u"CALLERNAME");
    set_text(CallProperty::Contact, u"CONTACT");
    set_text(CallProperty::Engineer, u"ENGINEER");
    set_text(CallProperty::CreatedBy, u"CALLCREATER");
    set_text(CallProperty::ActionDoneBy, u"CALLCREATER");

    Variant minutes = Variant::Long(MinutesSpent(details));
    record->Set(CallProperty::TimeSpent,
                Variant::Long(ToLong(self->backendTimeFormat(minutes))));

    // Q_TEXT is in the dictionary now: reading it again adds nothing.
    const Variant& q_text = details.Item(u"Q_TEXT");
    StringView head = q_text.IsString() ? q_text.AsString() : converted;
    if (!head.empty() || !tail.empty()) {
      call_text = CreateAs<adapter::CallText>(adapter::kCallTextClass);
      ForEachTextPiece(head, tail, [&](StringView piece) {
        call_text->AddLine(String(piece));
      });
      record->Set(CallProperty::Text, Variant(call_text));
    }

    list->Add(record);
    response = manager->SubmitNewCalls(list);
    list = Deref(response).ReturnedCalls();
    record = Deref(list).Item(0);
    adapter::ServiceCallRecord& returned = Deref(record);

    answer = MakeRef<Dictionary>();
    if (!IsEmptyText(returned.Get(CallProperty::CallNumber)))
      answer->Add(u"CALLNUMBER",
                  AsText(returned.Get(CallProperty::CallNumber)));
    if (ToLong(returned.Get(CallProperty::LastTransactionTime)) != 0)
      answer->Add(u"LASTTRANSTIME", Variant::Long(ToLong(returned.Get(
                                        CallProperty::LastTransactionTime))));
    if (!IsEmptyText(returned.Get(CallProperty::Contract)))
      answer->Add(u"CONTRACT", AsText(returned.Get(CallProperty::Contract)));
    if (ToByte(returned.Get(CallProperty::WarrantyFlag)) != 0) {
      answer->Add(u"WARRANTY", AsText(returned.Get(CallProperty::Warranty)));
      answer->Add(u"WARRANTYDESC",
                  AsText(returned.Get(CallProperty::WarrantyDescription)));
      answer->Add(u"WARRANTYEXPDATE",
                  AsText(returned.Get(CallProperty::WarrantyExpiryDate)));
    }
    result = answer;

    Ref<adapter::MessageList> messages = response->Messages();
    if (Deref(messages).Count() > 0) {
      Ref<adapter::AdapterMessage> message = messages->Item(0);
      o_sErrorDescription = Deref(message).Text();
      message.Reset();
      messages.Reset();
      TolivaUtilities::ReportError(kMethod, o_sErrorDescription);
    }
    messages.Reset();

    exit_block(true);
    return result;
  } catch (...) {
    trap.Catch();
    // A failure in here (closing the manager, writing the log) is not
    // trapped again: it leaves the operation as the caller's error.
    if (CurrentError().number != 0)
      o_sErrorDescription = CurrentError().description;
    exit_block(false);
    result.Reset();
    TolivaUtilities::LogError(kMethod, o_sErrorDescription);
    return nullptr;
  }
}

}  // namespace quillet
