// UpdateCall: one change to an existing service call, chosen by "OPTION".
// Failures are logged and raised again to the caller.
#include "calls/calls_impl.h"
#include "calls/text_pieces.h"
#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/update_options.h"
#include "reporting/toliva_utilities.h"

namespace quillet {
namespace {

using adapter::CallProperty;
constexpr StringView kMethod = u"Quillet.Calls.UpdateCall";

enum class Time { kEngineerOnly, kPlusTimeSpent };

// What one call of UpdateCall works on; the steps below fill it in order.
struct Update {
  CallsInterface& self;
  Dictionary& details;
  adapter::ServiceCallRecord& record;
  Ref<adapter::SolutionText>& solution_text;
  Ref<adapter::CallText>& call_text;

  void SetStatus(uint8_t status) {
    record.Set(CallProperty::Status, Variant::Byte(status));
  }
  void SetFromKey(CallProperty p, const char16_t* key) {
    record.Set(p, AsText(details.Item(key)));
  }
  void SetActions() {
    SetFromKey(CallProperty::ActionProblem, u"PROBLEM");
    SetFromKey(CallProperty::ActionSolution, u"SOLUTION");
    SetFromKey(CallProperty::ActionActivity, u"ACTIVITY");
  }

  // A new service-request component for every call of this procedure.
  void SetTimeSpent(Time time) {
    Ref<Object> question = CreateObject(adapter::kQuestionClass);
    Variant question_id = details.Item(u"Q_ID");
    int64_t minutes =
        ToLong(CallMethod(question.Get(), u"GetEngineerTime", question_id));
    question.Reset();
    if (time == Time::kPlusTimeSpent) {
      minutes += ToLong(details.Item(u"TIMESPENT"));
      if (minutes < INT32_MIN || minutes > INT32_MAX)
        RaiseRuntime(errors::kOverflow);
    }
    Variant argument = Variant::Long(static_cast<int32_t>(minutes));
    record.Set(CallProperty::TimeSpent,
               Variant::Long(ToLong(self.backendTimeFormat(argument))));
  }

  // The solution text: TextMode "a" once, after the last piece.
  void SetSolutionText() {
    DetailText text(details.Item(u"SOLUTIONTEXT"));
    solution_text =
        CreateAs<adapter::SolutionText>(adapter::kSolutionTextClass);
    if (text.view().empty()) return;
    ForEachTextPiece(text.view(), [&](StringView piece) {
      solution_text->AddLine(String(piece));
    });
    solution_text->SetTextMode(u"a");
    record.Set(CallProperty::SolutionText, Variant(solution_text));
  }

  // The call text: TextMode "a" after every piece.
  void SetCallText() {
    DetailText text(details.Item(u"Q_TEXT"));
    call_text = CreateAs<adapter::CallText>(adapter::kCallTextClass);
    if (text.view().empty()) return;
    ForEachTextPiece(text.view(), [&](StringView piece) {
      call_text->AddLine(String(piece));
      call_text->SetTextMode(u"a");
    });
    record.Set(CallProperty::Text, Variant(call_text));
  }

  void Take(UpdateStep step) {
    switch (step) {
      case UpdateStep::kProblem:
        SetFromKey(CallProperty::ActionProblem, u"PROBLEM");
        break;
      case UpdateStep::kActions:
        SetActions();
        break;
      case UpdateStep::kTimePlusSpent:
        SetTimeSpent(Time::kPlusTimeSpent);
        break;
      case UpdateStep::kEngineerTime:
        SetTimeSpent(Time::kEngineerOnly);
        break;
      case UpdateStep::kSolutionText:
        SetSolutionText();
        break;
      case UpdateStep::kCallText:
        SetCallText();
        break;
      case UpdateStep::kWaitingEnds:
        record.Set(CallProperty::WaitingFlag, Variant::Byte(2));
        record.Set(CallProperty::WaitingDescription, String());
        break;
      case UpdateStep::kWaiting:
        record.Set(CallProperty::WaitingFlag, Variant::Byte(1));
        SetFromKey(CallProperty::WaitingDescription, u"WAITINGDESC");
        break;
      case UpdateStep::kOptionFlag:
        record.Set(CallProperty::OptionFlag, Variant::Byte(1));
        break;
    }
  }

  // The option's row of the table (update_options.h): its status, then its
  // steps in order.
  void Apply(const UpdateOption& option) {
    if (option.status) SetStatus(*option.status);
    for (const std::optional<UpdateStep>& step : option.steps)
      if (step) Take(*step);
  }
};

// "OPTION" compared with 1 to 9 in order, as numbers; the default option
// when none matches.
const UpdateOption& SelectOption(const Variant& option) {
  for (const UpdateOption& o : kUpdateOptions)
    if (EqualsNumber(option, o.number)) return o;
  return UpdateOptionNumbered(kDefaultUpdateOption);
}

// The call's state as the back end returned it; nothing unless it carries a
// last transaction time. Tested properties are read again for their value.
void ReadBack(const adapter::ServiceCallRecord& r, Dictionary& out) {
  out.Add(u"LASTTRANSTIME",
          Variant::Long(ToLong(r.Get(CallProperty::LastTransactionTime))));
  if (ToByte(r.Get(CallProperty::ChangedFlag)) != 0)
    out.Add(u"CHANGEDFLAG",
            Variant::Byte(ToByte(r.Get(CallProperty::ChangedFlag))));
  if (!IsEmptyText(r.Get(CallProperty::CallNumber)))
    out.Add(u"CALLNUMBER", AsText(r.Get(CallProperty::CallNumber)));
  if (ToByte(r.Get(CallProperty::Status)) != 0)
    out.Add(u"STATUS", Variant::Byte(ToByte(r.Get(CallProperty::Status))));
  if (!IsEmptyText(r.Get(CallProperty::Engineer)))
    out.Add(u"SUPPORTENGCODE", AsText(r.Get(CallProperty::Engineer)));
  out.Add(u"WAITINGFLAG",
          Variant::Byte(ToByte(r.Get(CallProperty::WaitingFlag))));
  if (!IsEmptyText(r.Get(CallProperty::WaitingDescription)))
    out.Add(u"WAITINGDESC", AsText(r.Get(CallProperty::WaitingDescription)));

  // Each gate is read before its value, and both are always read.
  bool has_primary = ToBoolean(r.Get(CallProperty::HasServiceOrder));
  bool primary = !IsEmptyText(r.Get(CallProperty::ServiceOrder));
  if (primary && has_primary) {
    out.Add(u"SERVICEORDER", AsText(r.Get(CallProperty::ServiceOrder)));
    return;
  }
  bool has_secondary = ToBoolean(r.Get(CallProperty::HasSecondaryServiceOrder));
  bool secondary = !IsEmptyText(r.Get(CallProperty::SecondaryServiceOrder));
  if (secondary && has_secondary)
    out.Add(u"SERVICEORDER",
            AsText(r.Get(CallProperty::SecondaryServiceOrder)));
}

}  // namespace

Variant Calls::UpdateCall(const Ref<Dictionary>& i_dictCallDetails,
                          Variant& o_sErrorDescription) {
  Ref<CallsInterface> self(this);
  ErrorTrap trap(kCallsSource);
  Variant result;
  Ref<adapter::ServiceCallManager> manager;
  Ref<adapter::ServiceCallRecord> record;
  Ref<adapter::ServiceCallList> list;
  Ref<adapter::UpdateCallResponse> response;
  Ref<adapter::SolutionText> solution_text;
  Ref<adapter::CallText> call_text;
  Ref<adapter::MessageList> messages;
  Ref<adapter::AdapterMessage> message;

  auto exit_block = [&] {
    solution_text.Reset();
    response.Reset();
    list.Reset();
    Deref(manager).Close();
    manager.Reset();
    record.Reset();
    messages.Reset();
    message.Reset();
    call_text.Reset();
    return result;
  };

  try {
    CreateManager(manager);
    record =
        CreateAs<adapter::ServiceCallRecord>(adapter::kServiceCallRecordClass);

    Dictionary& details = Details(i_dictCallDetails);
    bool bound = BindManager(ToString(details.Item(u"COMPONENT")), manager);
    if (!bound) return exit_block();

    list = CreateAs<adapter::ServiceCallList>(adapter::kServiceCallListClass);
    response = CreateAs<adapter::UpdateCallResponse>(
        adapter::kUpdateCallResponseClass);

    record->Set(CallProperty::CallNumber, AsText(details.Item(u"CALLNUMBER")));
    record->Set(CallProperty::Engineer, AsText(details.Item(u"ENGINEER")));
    record->Set(CallProperty::ActionDoneBy,
                AsText(details.Item(u"ACTIONDONEBY")));

    Variant option = details.Item(u"OPTION");
    Update{*self, details, *record, solution_text, call_text}.Apply(
        SelectOption(option));

    list->Add(record);
    response = manager->SubmitChangedCalls(list);
    if (!response) {
      Ref<Dictionary> changed = MakeRef<Dictionary>();
      changed->Add(u"CHANGEDFLAG", Variant::Integer(2));
      result = Variant(changed);
      return exit_block();
    }

    list = response->ReturnedCalls();
    record = Deref(list).Item(0);
    Ref<Dictionary> answer;
    if (ToLong(Deref(record).Get(CallProperty::LastTransactionTime)) != 0) {
      answer = MakeRef<Dictionary>();
      ReadBack(*record, *answer);
    }
    if (!answer) answer = MakeRef<Dictionary>();
    result = Variant(answer);

    messages = response->Messages();
    if (Deref(messages).Count() > 0) {
      message = messages->Item(0);
      o_sErrorDescription = Deref(message).Text();
      TolivaUtilities::ReportError(kMethod, o_sErrorDescription);
    }
    return exit_block();
  } catch (...) {
    trap.Catch();
    if (CurrentError().number != 0)
      o_sErrorDescription = CurrentError().description;
    result = Variant();
    solution_text.Reset();
    response.Reset();
    list.Reset();
    // Not trapped again: a failing Close ends the operation before the log.
    if (manager) manager->Close();
    manager.Reset();
    record.Reset();
    TolivaUtilities::ReportError(kMethod, o_sErrorDescription);
    throw;  // unreachable: with a current error ReportError raises
  }
}

}  // namespace quillet
