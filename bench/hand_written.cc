#include "hand_written.h"

#include <charconv>

#include "null_adapter.h"

namespace quillet::bench {
namespace {

using adapter::CallProperty;

std::u16string Get(const Details& d, const char16_t* key) {
  auto it = d.find(key);
  return it == d.end() ? std::u16string() : it->second;
}

int32_t Number(const std::u16string& text) {
  std::string ascii(text.begin(), text.end());
  int32_t n = 0;
  std::from_chars(ascii.data(), ascii.data() + ascii.size(), n);
  return n;
}

int32_t TimeFormat(int32_t minutes) {
  return minutes <= 0 ? 0 : (minutes / 60) * 100 + minutes % 60;
}

void AddPieces(adapter::TextLines& text, const std::u16string& s,
               bool mode_each) {
  for (size_t at = 0; at < s.size(); at += 2048) {
    text.AddLine(s.substr(at, 2048));
    if (mode_each) text.SetTextMode(u"a");
  }
}

void Bind(adapter::ServiceCallManager& manager, const Details& d) {
  NullSession session;
  session.setUserInfo(u"", u"");
  session.addManager(manager);
  manager.Initialize(Get(d, u"COMPONENT"));
}

}  // namespace

HandResult HandWrittenCreateCall(const Details& d) {
  Ref<adapter::ServiceCallManager> manager = NewNullManager();
  Ref<adapter::ServiceCallRecord> record = NewNullRecord();
  Ref<adapter::ServiceCallList> list = NewNullList();
  Bind(*manager, d);
  std::u16string text = Get(d, u"Q_TEXT") + u"\r\n" + Get(d, u"LINK");
  record->Set(CallProperty::SoldToBusinessPartner, Get(d, u"SOLDTOBP"));
  record->Set(CallProperty::Site, Get(d, u"SITE"));
  record->Set(CallProperty::ServiceObject, Get(d, u"OBJECT"));
  record->Set(CallProperty::ObjectNumber, Get(d, u"OBJECTNR"));
  record->Set(CallProperty::CallDescription, Get(d, u"CALLDESC"));
  record->Set(CallProperty::Problem, Get(d, u"PROBLEM"));
  record->Set(CallProperty::Priority,
              Variant::Byte(static_cast<uint8_t>(Number(Get(d, u"PRIORITY")))));
  record->Set(CallProperty::BusinessPartnerNumber, Get(d, u"BPNUMBER"));
  record->Set(CallProperty::OriginCode, Variant::Byte(40));
  record->Set(CallProperty::CallGroup1, Get(d, u"CALLGROUP1"));
  record->Set(CallProperty::CallGroup2, Get(d, u"CALLGROUP2"));
  record->Set(CallProperty::CallerName, Get(d, u"CALLERNAME"));
  record->Set(CallProperty::Contact, Get(d, u"CONTACT"));
  record->Set(CallProperty::Engineer, Get(d, u"ENGINEER"));
  record->Set(CallProperty::CreatedBy, Get(d, u"CALLCREATER"));
  record->Set(CallProperty::ActionDoneBy, Get(d, u"CALLCREATER"));
  NullQuestion question;
  int32_t minutes =
      question.GetEngineerTime(Get(d, u"Q_ID")) + Number(Get(d, u"TIMESPENT"));
  record->Set(CallProperty::TimeSpent, Variant::Long(TimeFormat(minutes)));
  Ref<adapter::CallText> call_text = NewNullCallText();
  AddPieces(*call_text, text, false);
  record->Set(CallProperty::Text, Variant(call_text));
  list->Add(record);

  Ref<adapter::CreateCallResponse> response = manager->SubmitNewCalls(list);
  Ref<adapter::ServiceCallRecord> stored = response->ReturnedCalls()->Item(0);
  HandResult r;
  r.call_number = stored->Get(CallProperty::CallNumber).AsString();
  r.last_transaction_time =
      stored->Get(CallProperty::LastTransactionTime).AsLong();
  r.contract = stored->Get(CallProperty::Contract).AsString();
  if (stored->Get(CallProperty::WarrantyFlag).AsByte() != 0) {
    r.warranty = stored->Get(CallProperty::Warranty).AsString();
    r.warranty_description =
        stored->Get(CallProperty::WarrantyDescription).AsString();
    r.warranty_expiry =
        stored->Get(CallProperty::WarrantyExpiryDate).AsString();
  }
  Ref<adapter::MessageList> messages = response->Messages();
  if (messages->Count() > 0) r.error = messages->Item(0)->Text();
  manager->Close();
  return r;
}

HandResult HandWrittenUpdateCall(const Details& d) {
  Ref<adapter::ServiceCallManager> manager = NewNullManager();
  Ref<adapter::ServiceCallRecord> record = NewNullRecord();
  Bind(*manager, d);
  Ref<adapter::ServiceCallList> list = NewNullList();
  record->Set(CallProperty::CallNumber, Get(d, u"CALLNUMBER"));
  record->Set(CallProperty::Engineer, Get(d, u"ENGINEER"));
  record->Set(CallProperty::ActionDoneBy, Get(d, u"ACTIONDONEBY"));
  int option = Number(Get(d, u"OPTION"));
  if (option == 2) {
    record->Set(CallProperty::Status, Variant::Byte(15));
    record->Set(CallProperty::ActionProblem, Get(d, u"PROBLEM"));
    record->Set(CallProperty::ActionSolution, Get(d, u"SOLUTION"));
    record->Set(CallProperty::ActionActivity, Get(d, u"ACTIVITY"));
    NullQuestion question;
    int32_t minutes = question.GetEngineerTime(Get(d, u"Q_ID")) +
                      Number(Get(d, u"TIMESPENT"));
    record->Set(CallProperty::TimeSpent, Variant::Long(TimeFormat(minutes)));
    std::u16string text = Get(d, u"SOLUTIONTEXT");
    if (!text.empty()) {
      Ref<adapter::SolutionText> solution = NewNullSolutionText();
      AddPieces(*solution, text, false);
      solution->SetTextMode(u"a");
      record->Set(CallProperty::SolutionText, Variant(solution));
    }
  } else if (option == 7) {
    std::u16string text = Get(d, u"Q_TEXT");
    if (!text.empty()) {
      Ref<adapter::CallText> call_text = NewNullCallText();
      AddPieces(*call_text, text, true);
      record->Set(CallProperty::Text, Variant(call_text));
    }
  }
  list->Add(record);
  Ref<adapter::UpdateCallResponse> response = manager->SubmitChangedCalls(list);
  HandResult r;
  Ref<adapter::ServiceCallRecord> stored = response->ReturnedCalls()->Item(0);
  r.last_transaction_time =
      stored->Get(CallProperty::LastTransactionTime).AsLong();
  if (r.last_transaction_time != 0) {
    r.call_number = stored->Get(CallProperty::CallNumber).AsString();
    r.status = stored->Get(CallProperty::Status).AsByte();
    stored->Get(CallProperty::ChangedFlag);
    stored->Get(CallProperty::Engineer);
    stored->Get(CallProperty::WaitingFlag);
    stored->Get(CallProperty::WaitingDescription);
    stored->Get(CallProperty::HasServiceOrder);
    stored->Get(CallProperty::ServiceOrder);
    stored->Get(CallProperty::HasSecondaryServiceOrder);
    stored->Get(CallProperty::SecondaryServiceOrder);
  }
  Ref<adapter::MessageList> messages = response->Messages();
  if (messages->Count() > 0) r.error = messages->Item(0)->Text();
  manager->Close();
  return r;
}

}  // namespace quillet::bench
