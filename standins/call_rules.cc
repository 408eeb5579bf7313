// The rules of calls: a new call numbered, stamped and given its contract
// and warranty from master data; a change applied to a call that is not
// completed, status 30 giving it a service order.
#include <charconv>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "quillet/standins/backend_store.h"
#include "rules_shared.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

StoredValue Str(std::string s) { return {VarType::String, std::move(s), 0}; }
StoredValue Num(VarType type, int64_t n) { return {type, "", n}; }

std::string Prop(const CallData& call, CallProperty property) {
  auto it = call.properties.find(property);
  return it == call.properties.end() ? std::string() : it->second.text;
}

// The clock now, as a last transaction time.
int64_t TransactionTimeNow() {
  return StorableTransactionTime(static_cast<int64_t>(std::time(nullptr)));
}

// Applies a submitted text: "a" appends its pieces, else they replace.
void ApplyText(const std::optional<StoredText>& text,
               std::vector<std::string>& stored) {
  if (!text) return;
  if (text->text_mode != "a") stored.clear();
  stored.insert(stored.end(), text->pieces.begin(), text->pieces.end());
}

}  // namespace

std::string Numbered(const char* prefix, int64_t seq) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s%06lld", prefix,
                static_cast<long long>(seq));
  return buffer;
}

std::optional<int64_t> SeqOfNumber(const std::string& number) {
  if (number.size() < 8 || number.compare(0, 2, "SC") != 0) return std::nullopt;
  int64_t seq = 0;
  const char* end = number.data() + number.size();
  auto [at, error] = std::from_chars(number.data() + 2, end, seq);
  if (error != std::errc() || at != end || seq <= 0 ||
      Numbered("SC", seq) != number)
    return std::nullopt;
  return seq;
}

StorageEngine::ReadAhead ReadAheadFor(RequestKind kind, const CallData& call,
                                      const std::string& key) {
  StorageEngine::ReadAhead ahead;
  if (!key.empty()) ahead.key = key;
  if (kind == RequestKind::kCreateCall) {
    if (Prop(call, CallProperty::SoldToBusinessPartner).empty()) return ahead;
    if (std::string partner = Prop(call, CallProperty::BusinessPartnerNumber);
        !partner.empty())
      ahead.partner = partner;
    ahead.object = Prop(call, CallProperty::ServiceObject);
    ahead.new_call_seq = true;
  } else {
    ahead.call_for_update = SeqOfNumber(Prop(call, CallProperty::CallNumber));
  }
  return ahead;
}

StorageEngine::ReadAhead ReadAheadFor(RequestKind, const ItemFields&,
                                      const std::string& key) {
  StorageEngine::ReadAhead ahead;
  if (!key.empty()) ahead.key = key;
  return ahead;
}

StoredCall AsStored(const std::string& number, CallRow row) {
  return StoredCall{number, std::move(row.properties),
                    std::move(row.unknown_properties), std::move(row.text),
                    std::move(row.solution_text)};
}

std::optional<StoredCall> BackendStore::LoadCall(const std::string& number) {
  std::optional<int64_t> seq = SeqOfNumber(number);
  if (!seq) return std::nullopt;
  std::optional<StoredCall> call;
  engine_->ReadTransaction([&] {
    call.reset();
    if (std::optional<CallRow> row = engine_->ReadCall(*seq, false)) {
      call = Created(number, std::move(*row));
      call->version = VersionOf(number, call->properties);
    }
  });
  return call;
}

SubmitOutcome BackendStore::NewCall(const std::string& component,
                                    const CallData& call) {
  SubmitOutcome outcome;
  if (Prop(call, CallProperty::SoldToBusinessPartner).empty()) {
    outcome.messages.push_back(
        "Call refused: a sold-to business partner is required");
    return outcome;
  }
  std::string partner = Prop(call, CallProperty::BusinessPartnerNumber);
  if (!partner.empty() && !engine_->BusinessPartnerExists(partner))
    outcome.messages.push_back("Unknown business partner '" + partner +
                               "'; the call was stored without partner data");

  CallRow row;
  row.properties = call.properties;
  std::string object = Prop(call, CallProperty::ServiceObject);
  if (std::optional<ServiceObjectFacts> facts =
          engine_->ServiceObject(object)) {
    row.properties[CallProperty::Contract] = Str(std::move(facts->contract));
    row.properties[CallProperty::WarrantyFlag] =
        Num(VarType::Byte, facts->warranty.empty() ? 0 : 1);
    row.properties[CallProperty::Warranty] = Str(std::move(facts->warranty));
    row.properties[CallProperty::WarrantyDescription] =
        Str(std::move(facts->warranty_description));
    row.properties[CallProperty::WarrantyExpiryDate] =
        Str(std::move(facts->warranty_expiry_date));
  } else if (!object.empty()) {
    outcome.messages.push_back("Unknown service object '" + object +
                               "'; no contract or warranty was applied");
  }

  int64_t time = TransactionTimeNow();
  int64_t seq = engine_->NewCallSeq();
  std::string number = Numbered("SC", seq);
  row.properties[CallProperty::CallNumber] = Str(number);
  row.properties[CallProperty::LastTransactionTime] = Num(VarType::Long, time);
  if (call.text) row.text = call.text->pieces;
  if (call.solution_text) row.solution_text = call.solution_text->pieces;
  engine_->InsertCall(seq, number, component, time, row);
  EventRecord event;
  event.operation = "create-call";
  event.call = number;
  event.outcome = "created";
  for (size_t i = 0; i < outcome.messages.size(); ++i)
    event.outcome += (i ? "; " : ": ") + outcome.messages[i];
  event.changes = NewCallChanges(row, call);
  AppendEvent(std::move(event));
  // The call as stored is what was just written: no need to read it back.
  outcome.stored = AsStored(number, std::move(row));
  return outcome;
}

SubmitOutcome BackendStore::ChangedCall(const CallData& call) {
  SubmitOutcome outcome;
  std::string number = Prop(call, CallProperty::CallNumber);
  std::optional<int64_t> seq = SeqOfNumber(number);
  // Locked: a concurrent change of the same call waits for this one.
  std::optional<CallRow> existing;
  if (seq) existing = engine_->ReadCall(*seq, /*for_update=*/true);
  if (!existing) {
    outcome.messages.push_back("Service call '" + number +
                               "' not found; nothing was changed");
    return outcome;
  }
  const auto& stored = existing->properties;
  if (!expected_version_.empty() && expected_version_ != "*") {
    // Checked on the locked row: no change can come between.
    std::string version = VersionOf(number, stored);
    if (version != expected_version_) {
      outcome.messages.push_back("Service call " + number +
                                 " changed since it was read (it is "
                                 "now version " +
                                 version + "); the change was refused");
      outcome.changed_since_read = true;
      outcome.stored = AsStored(number, std::move(*existing));
      outcome.stored->version = std::move(version);
      outcome.stored->properties[CallProperty::ChangedFlag] =
          Num(VarType::Byte, 0);
      return outcome;
    }
  }
  auto status = stored.find(CallProperty::Status);
  if (status != stored.end() && status->second.number == 30) {
    outcome.messages.push_back("Service call " + number +
                               " is completed; the change was refused");
    // Answered as stored, but not as changed.
    outcome.stored = AsStored(number, std::move(*existing));
    outcome.stored->properties[CallProperty::ChangedFlag] =
        Num(VarType::Byte, 0);
    return outcome;
  }
  bool changed = (call.text && !call.text->pieces.empty()) ||
                 (call.solution_text && !call.solution_text->pieces.empty());
  for (const auto& [key, value] : call.properties) {
    auto it = stored.find(key);
    if (key != CallProperty::CallNumber &&
        (it == stored.end() || !(it->second == value)))
      changed = true;
  }
  if (!changed) {
    outcome.nothing_to_apply = true;
    return outcome;
  }
  CallRow row = *existing;
  for (const auto& [key, value] : call.properties)
    if (key != CallProperty::CallNumber) row.properties[key] = value;
  ApplyText(call.text, row.text);
  ApplyText(call.solution_text, row.solution_text);

  auto new_status = call.properties.find(CallProperty::Status);
  if (new_status != call.properties.end() && new_status->second.number == 30 &&
      !stored.contains(CallProperty::ServiceOrder)) {
    row.properties[CallProperty::ServiceOrder] = Str(Numbered("SO", *seq));
    row.properties[CallProperty::HasServiceOrder] = Num(VarType::Boolean, 1);
  }
  int64_t time = TransactionTimeNow();
  row.properties[CallProperty::LastTransactionTime] = Num(VarType::Long, time);
  row.properties[CallProperty::ChangedFlag] = Num(VarType::Byte, 1);
  auto change = [](const std::optional<StoredText>& text)
      -> std::optional<StorageEngine::TextChange> {
    if (!text) return std::nullopt;
    return StorageEngine::TextChange{&text->pieces, text->text_mode == "a"};
  };
  engine_->RewriteCall(*seq, number, time, *existing, row,
                       {change(call.text), change(call.solution_text)});
  EventRecord event;
  event.operation = "update-call";
  event.option = option_;
  event.call = number;
  auto status_now = row.properties.find(CallProperty::Status);
  event.outcome =
      status_now != row.properties.end() && status_now->second.number == 30
          ? "completed"
          : "changed";
  event.changes = CallChangeChanges(*existing, row, call);
  AppendEvent(std::move(event));
  outcome.stored = AsStored(number, std::move(row));
  return outcome;
}

}  // namespace quillet::standins
