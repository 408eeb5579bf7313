// The embedded back end's rules, written once over a storage engine
// (storage_engine.h): numbering, contracts and warranties from master data,
// messages and refusals, status 30 and its service order, texts appended or
// replaced, request keys, last transaction times.
#include "quillet/standins/backend_store.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "backend_failure.h"
#include "request_record.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

StoredValue Str(std::string s) { return {"String", std::move(s), 0}; }
StoredValue Num(const char* type, int64_t n) { return {type, "", n}; }

std::string Prop(const CallData& call, const std::string& name) {
  auto it = call.properties.find(name);
  return it == call.properties.end() ? std::string() : it->second.text;
}

std::string Numbered(const char* prefix, int64_t seq) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s%06lld", prefix,
                static_cast<long long>(seq));
  return buffer;
}

// How a write ends: a dry run undoes it.
StorageEngine::Ending EndingFor(bool dry_run) {
  return dry_run ? StorageEngine::Ending::kRollBack
                 : StorageEngine::Ending::kCommit;
}

// The clock now, as a last transaction time.
int64_t TransactionTimeNow() {
  return StorableTransactionTime(static_cast<int64_t>(std::time(nullptr)));
}

std::string KeyRefusal(const std::string& key) {
  return "Request key '" + key +
         "' was already used for a different request; nothing was written";
}

// Whether `prior`, kept under a key, was made by the request `now`. A key
// written without the caller's name for its request (by a host that gives
// none, or by an earlier Quillet) kept the digest of what was submitted:
// that is compared too, so that a retry across an upgrade is still itself.
bool SameRequest(const KeyRecord& prior, const KeyRecord& now,
                 const std::function<std::string()>& submitted_digest) {
  if (prior.kind != now.kind) return false;
  return prior.digest == now.digest || prior.digest == submitted_digest();
}

// Listings read this many rows at a time: constant memory, few queries.
constexpr int64_t kPage = 256;

}  // namespace

int64_t StorableTransactionTime(int64_t unix_seconds) {
  int64_t time = TransactionTimeAt(unix_seconds);
  if (time < INT32_MIN || time > INT32_MAX) {
    char when[32] = "an unknown date";
    std::tm tm{};
    auto t = static_cast<time_t>(unix_seconds);
    if (gmtime_r(&t, &tm))
      std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    RaiseBackend(std::string("the clock says ") + when +
                 ", which a transaction time (seconds since 2000 in a 32-bit "
                 "Long, 1931-12-13 to 2068-01-19) cannot hold; nothing was "
                 "stored");
  }
  return time;
}

bool IsPostgresUri(const std::string& where) {
  return where.rfind("postgresql://", 0) == 0 ||
         where.rfind("postgres://", 0) == 0;
}

BackendStore::BackendStore(const std::string& where, Open open)
    : engine_(IsPostgresUri(where) ? OpenPostgresStorage(where, open)
                                   : OpenSqliteStorage(where, open)) {}

BackendStore::~BackendStore() = default;

namespace {

StoredCall AsStored(const std::string& number, CallRow row) {
  return StoredCall{number, std::move(row.properties), std::move(row.text),
                    std::move(row.solution_text)};
}

// Applies a submitted text: "a" appends its pieces, else they replace.
void ApplyText(const std::optional<StoredText>& text,
               std::vector<std::string>& stored) {
  if (!text) return;
  if (text->text_mode != "a") stored.clear();
  stored.insert(stored.end(), text->pieces.begin(), text->pieces.end());
}

// The sequence number a call number names: "SC" and the number in at least
// six digits, spelled exactly as Numbered spells it; else nothing.
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

// What a create or a change of `call` under `key` ("" for none) is about
// to read, for the engine to ask at once (StorageEngine::Expect).
StorageEngine::ReadAhead ReadAheadFor(const char* kind, const CallData& call,
                                      const std::string& key) {
  StorageEngine::ReadAhead ahead;
  if (!key.empty()) ahead.key = key;
  if (std::string_view(kind) == "create-call") {
    if (Prop(call, "SoldToBusinessPartner").empty()) return ahead;
    if (std::string partner = Prop(call, "BusinessPartnerNumber");
        !partner.empty())
      ahead.partner = partner;
    ahead.object = Prop(call, "ServiceObject");
    ahead.new_call_seq = true;
  } else {
    ahead.call_for_update = SeqOfNumber(Prop(call, "CallNumber"));
  }
  return ahead;
}

}  // namespace

std::optional<StoredCall> BackendStore::LoadCall(const std::string& number) {
  std::optional<int64_t> seq = SeqOfNumber(number);
  if (!seq) return std::nullopt;
  std::optional<CallRow> row;
  engine_->ReadTransaction([&] { row = engine_->ReadCall(*seq, false); });
  if (!row) return std::nullopt;
  return AsStored(number, std::move(*row));
}

SubmitOutcome BackendStore::NewCall(const std::string& component,
                                    const CallData& call) {
  SubmitOutcome outcome;
  if (Prop(call, "SoldToBusinessPartner").empty()) {
    outcome.messages.push_back(
        "Call refused: a sold-to business partner is required");
    return outcome;
  }
  std::string partner = Prop(call, "BusinessPartnerNumber");
  if (!partner.empty() && !engine_->BusinessPartnerExists(partner))
    outcome.messages.push_back("Unknown business partner '" + partner +
                               "'; the call was stored without partner data");

  CallRow row;
  row.properties = call.properties;
  std::string object = Prop(call, "ServiceObject");
  if (std::optional<ServiceObjectFacts> facts =
          engine_->ServiceObject(object)) {
    row.properties["Contract"] = Str(std::move(facts->contract));
    row.properties["WarrantyFlag"] =
        Num("Byte", facts->warranty.empty() ? 0 : 1);
    row.properties["Warranty"] = Str(std::move(facts->warranty));
    row.properties["WarrantyDescription"] =
        Str(std::move(facts->warranty_description));
    row.properties["WarrantyExpiryDate"] =
        Str(std::move(facts->warranty_expiry_date));
  } else if (!object.empty()) {
    outcome.messages.push_back("Unknown service object '" + object +
                               "'; no contract or warranty was applied");
  }

  int64_t time = TransactionTimeNow();
  int64_t seq = engine_->NewCallSeq();
  std::string number = Numbered("SC", seq);
  row.properties["CallNumber"] = Str(number);
  row.properties["LastTransactionTime"] = Num("Long", time);
  if (call.text) row.text = call.text->pieces;
  if (call.solution_text) row.solution_text = call.solution_text->pieces;
  engine_->InsertCall(seq, number, component, time, row);
  // The call as stored is what was just written: no need to read it back.
  outcome.stored = AsStored(number, std::move(row));
  return outcome;
}

SubmitOutcome BackendStore::ChangedCall(const CallData& call) {
  SubmitOutcome outcome;
  std::string number = Prop(call, "CallNumber");
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
  auto status = stored.find("Status");
  if (status != stored.end() && status->second.number == 30) {
    outcome.messages.push_back("Service call " + number +
                               " is completed; the change was refused");
    // Answered as stored, but not as changed.
    outcome.stored = AsStored(number, std::move(*existing));
    outcome.stored->properties["ChangedFlag"] = Num("Byte", 0);
    return outcome;
  }
  bool changed = (call.text && !call.text->pieces.empty()) ||
                 (call.solution_text && !call.solution_text->pieces.empty());
  for (const auto& [key, value] : call.properties) {
    auto it = stored.find(key);
    if (key != "CallNumber" && (it == stored.end() || !(it->second == value)))
      changed = true;
  }
  if (!changed) {
    outcome.nothing_to_apply = true;
    return outcome;
  }
  CallRow row = *existing;
  for (const auto& [key, value] : call.properties)
    if (key != "CallNumber") row.properties[key] = value;
  ApplyText(call.text, row.text);
  ApplyText(call.solution_text, row.solution_text);

  auto new_status = call.properties.find("Status");
  if (new_status != call.properties.end() && new_status->second.number == 30 &&
      !stored.contains("ServiceOrder")) {
    row.properties["ServiceOrder"] = Str(Numbered("SO", *seq));
    row.properties["HasServiceOrder"] = Num("Boolean", 1);
  }
  int64_t time = TransactionTimeNow();
  row.properties["LastTransactionTime"] = Num("Long", time);
  row.properties["ChangedFlag"] = Num("Byte", 1);
  engine_->RewriteCall(*seq, number, time, *existing, row, call);
  outcome.stored = AsStored(number, std::move(row));
  return outcome;
}

SubmitOutcome BackendStore::CreateCall(const std::string& component,
                                       const CallData& call,
                                       const std::string& request_key) {
  return KeyedCall("create-call", component, call, request_key,
                   [&] { return NewCall(component, call); });
}

SubmitOutcome BackendStore::ChangeCall(const std::string& component,
                                       const CallData& call,
                                       const std::string& request_key) {
  return KeyedCall("update-call", component, call, request_key,
                   [&] { return ChangedCall(call); });
}

// A submit under a key: the first one is recorded with its answer in its
// own transaction; a later one with the same request is answered from the
// record and writes nothing; another request under the key is refused.
SubmitOutcome BackendStore::KeyedCall(
    const char* kind, const std::string& component, const CallData& call,
    const std::string& request_key,
    const std::function<SubmitOutcome()>& body) {
  SubmitOutcome outcome;
  StorageEngine::ReadAhead ahead = ReadAheadFor(kind, call, request_key);
  if (request_key.empty()) {
    engine_->WriteTransaction(
        [&] {
          engine_->Expect(ahead);
          outcome = body();
        },
        EndingFor(dry_run_));
    return outcome;
  }
  KeyRecord request{kind,
                    request_name_.empty()
                        ? RequestDigest(kind, component, call)
                        : NamedRequestDigest(kind, request_name_),
                    ""};
  engine_->WriteTransaction(
      [&] {
        outcome = SubmitOutcome();
        engine_->Expect(ahead);
        if (std::optional<KeyRecord> prior = engine_->FindKey(request_key)) {
          if (!SameRequest(*prior, request, [&] {
                return RequestDigest(kind, component, call);
              })) {
            outcome.messages.push_back(KeyRefusal(request_key));
            return;
          }
          outcome = OutcomeFromJson(prior->answer);
          outcome.replayed = true;
          return;
        }
        outcome = body();
        request.answer = AnswerJson(outcome);
        RecordKey(request_key, request);
      },
      EndingFor(dry_run_));
  return outcome;
}

void BackendStore::RecordKey(const std::string& key, const KeyRecord& record) {
  // Expired keys go a few at a time, soonest expired first: no write ever
  // scans the table, and pruning keeps up with the keys added. Each key
  // keeps the lifetime its own writer gave it.
  engine_->PruneKeys(16);
  engine_->InsertKey(key, record, key_retention_);
}

ItemOutcome BackendStore::CreateItem(
    const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields,
    const std::string& request_key) {
  return KeyedItem("create-item", component, fields, request_key,
                   [&] { return NewItem(component, fields); });
}

ItemOutcome BackendStore::ChangeItem(
    const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields,
    const std::string& request_key) {
  return KeyedItem("update-item", component, fields, request_key,
                   [&] { return ChangedItem(component, fields); });
}

ItemOutcome BackendStore::KeyedItem(
    const char* kind, const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields,
    const std::string& request_key, const std::function<std::string()>& body) {
  ItemOutcome outcome;
  if (request_key.empty()) {
    engine_->WriteTransaction([&] { outcome = {body()}; }, EndingFor(dry_run_));
    return outcome;
  }
  KeyRecord request{kind,
                    request_name_.empty()
                        ? RequestDigest(kind, component, fields)
                        : NamedRequestDigest(kind, request_name_),
                    ""};
  engine_->WriteTransaction(
      [&] {
        outcome = ItemOutcome();
        if (std::optional<KeyRecord> prior = engine_->FindKey(request_key)) {
          if (!SameRequest(*prior, request, [&] {
                return RequestDigest(kind, component, fields);
              })) {
            outcome.refusal = KeyRefusal(request_key);
            return;
          }
          outcome.refusal = nlohmann::json::parse(prior->answer)
                                .at("refusal")
                                .get<std::string>();
          outcome.replayed = true;
          return;
        }
        outcome.refusal = body();
        request.answer = nlohmann::json{{"refusal", outcome.refusal}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::ignore);
        RecordKey(request_key, request);
      },
      EndingFor(dry_run_));
  return outcome;
}

void BackendStore::CheckWritable() { engine_->CheckWritable(); }
bool BackendStore::Replaced() { return engine_->Replaced(); }

StoreFacts BackendStore::Facts() {
  StoreFacts facts;
  engine_->ReadTransaction([&] { facts = engine_->Facts(); });
  facts.schema_version = kSchemaVersion;  // opening made sure of it
  return facts;
}

std::vector<KeyListing> BackendStore::Keys(
    const std::optional<std::string>& after, int64_t limit) {
  std::vector<KeyListing> keys;
  engine_->ReadTransaction([&] { keys = engine_->KeyPage(after, limit); });
  return keys;
}

int64_t BackendStore::PruneKeysBefore(int64_t unix_time) {
  constexpr int kBatch = 1000;
  int64_t before = Facts().request_keys, previous = -1;
  // At most as many rounds as the keys there were need; a round that
  // removed none ends it (the rest are being written right now).
  for (int64_t round = 0; round <= before / kBatch + 1; ++round) {
    StoreFacts facts = Facts();
    if (!facts.oldest_key || *facts.oldest_key >= unix_time ||
        facts.request_keys == previous)
      break;
    previous = facts.request_keys;
    engine_->WriteTransaction(
        [&] { engine_->PruneKeysCreatedBefore(unix_time, kBatch); },
        StorageEngine::Ending::kCommit);
  }
  return before - Facts().request_keys;
}

int32_t BackendStore::EngineerTime(const std::string& question_id) {
  int64_t minutes = 0;
  engine_->ReadTransaction(
      [&] { minutes = engine_->EngineerMinutes(question_id); });
  return static_cast<int32_t>(minutes);
}

namespace {

// The item's fields without blank rows; "" or a refusal text in `problem`.
std::vector<std::pair<std::string, std::string>> CleanFields(
    const std::vector<std::pair<std::string, std::string>>& fields,
    std::string& problem, std::string& serial) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t row = 0; row < fields.size(); ++row) {
    const auto& [name, value] = fields[row];
    if (name.empty() && value.empty()) continue;
    if (name.empty()) {
      problem = "Row " + std::to_string(row) + " has a value but no field name";
      return {};
    }
    if (name == "SERIALNUMBER") serial = value;
    out.emplace_back(name, value);
  }
  if (serial.empty()) problem = "Field SERIALNUMBER is required";
  return out;
}

}  // namespace

std::string BackendStore::NewItem(
    const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string problem, serial;
  auto clean = CleanFields(fields, problem, serial);
  if (!problem.empty()) return problem;
  bool has_item = false;
  for (const auto& [name, value] : clean)
    if (name == "ITEM" && !value.empty()) has_item = true;
  if (!has_item) return "Field ITEM is required";
  if (engine_->ItemComponent(serial))
    return "Serialized item '" + serial + "' already exists";
  engine_->InsertItem(serial, component);
  engine_->PutItemFields(serial, clean);
  return "";
}

std::string BackendStore::ChangedItem(
    const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string problem, serial;
  auto clean = CleanFields(fields, problem, serial);
  if (!problem.empty()) return problem;
  if (!engine_->ItemComponent(serial))
    return "Serialized item '" + serial + "' not found";
  engine_->TouchItem(serial, component);
  engine_->PutItemFields(serial, clean);
  return "";
}

namespace {

// One section of the master data: its rows' fields, in the order the
// engine stores them; the first is the row's key.
struct MasterSection {
  const char* name;
  MasterTable table;
  struct Field {
    const char* name;
    bool required;
    bool whole_minutes;  // a whole number from 0 to 2,147,483,647, else text
  };
  std::vector<Field> fields;
};

const std::vector<MasterSection>& MasterSections() {
  static const std::vector<MasterSection> sections = {
      {"serviceObjects",
       MasterTable::kServiceObjects,
       {{"object", true, false},
        {"contract", false, false},
        {"warranty", false, false},
        {"warrantyDescription", false, false},
        {"warrantyExpiryDate", false, false}}},
      {"businessPartners",
       MasterTable::kBusinessPartners,
       {{"number", true, false}, {"name", false, false}}},
      {"engineerTime",
       MasterTable::kEngineerTime,
       {{"question", true, false}, {"minutes", true, true}}},
  };
  return sections;
}

}  // namespace

std::optional<BatchRun> BackendStore::StandingBatchRun(
    const std::string& file_name, const std::string& identity) {
  return engine_->StandingBatchRun(file_name, identity);
}

void BackendStore::RecordBatchRun(const BatchRun& run, bool set_aside_others) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  engine_->WriteTransaction(
      [&] {
        if (set_aside_others)
          engine_->SetAsideBatchRuns(run.file_name, run.identity);
        engine_->PutBatchRun(run, now);
      },
      EndingFor(dry_run_));
}

namespace {

using MasterRows =
    std::vector<std::pair<MasterTable, std::vector<MasterValue>>>;

// Every row of the master data, checked: all or nothing.
MasterRows ParseMasterData(const std::string& json_text) {
  using nlohmann::json;
  // The parser ends the text at a NUL, and keeps the last of a name given
  // twice: both would drop data unseen.
  if (size_t nul = json_text.find('\0'); nul != std::string::npos)
    RaiseBackend("master data is not valid JSON: a NUL byte at offset " +
                 std::to_string(nul));
  std::vector<std::set<std::string>> names;  // per open object
  std::string twice;
  json::parser_callback_t check = [&](int, json::parse_event_t event,
                                      json& parsed) {
    if (event == json::parse_event_t::object_start) names.emplace_back();
    if (event == json::parse_event_t::object_end && !names.empty())
      names.pop_back();
    if (event == json::parse_event_t::key && !names.empty() &&
        !names.back().insert(parsed.get<std::string>()).second && twice.empty())
      twice = parsed.get<std::string>();
    return true;
  };
  json data;
  try {
    data = json::parse(json_text, check);
  } catch (const json::exception& e) {
    RaiseBackend(std::string("master data is not valid JSON: ") + e.what());
  }
  if (!twice.empty())
    RaiseBackend("master data gives '" + twice +
                 "' twice in one object; each section and field is given "
                 "once");
  if (!data.is_object()) RaiseBackend("master data must be a JSON object");
  const std::vector<MasterSection>& sections = MasterSections();
  for (const auto& entry : data.items()) {
    const std::string& name = entry.key();
    const json& value = entry.value();
    if (std::none_of(sections.begin(), sections.end(),
                     [&](const MasterSection& s) { return name == s.name; }))
      RaiseBackend("master data: unknown section '" + name +
                   "' (known: serviceObjects, businessPartners, "
                   "engineerTime)");
    if (!value.is_array())
      RaiseBackend("master data: '" + name + "' must be an array");
  }
  MasterRows rows;
  for (const MasterSection& section : sections) {
    if (!data.contains(section.name)) continue;
    const json& entries = data[section.name];
    std::map<std::string, size_t> first_at;  // a row's key: its first entry
    for (size_t i = 0; i < entries.size(); ++i) {
      const json& row = entries[i];
      std::string where = std::string("master data: ") + section.name + "[" +
                          std::to_string(i) + "]";
      if (!row.is_object()) RaiseBackend(where + " must be an object");
      for (const auto& entry : row.items()) {
        const std::string& key = entry.key();
        if (std::none_of(
                section.fields.begin(), section.fields.end(),
                [&](const MasterSection::Field& f) { return key == f.name; }))
          RaiseBackend(where + ": unknown field '" + key + "'");
      }
      std::vector<MasterValue> values;
      for (const MasterSection::Field& field : section.fields) {
        const json* value =
            row.contains(field.name) ? &row[field.name] : nullptr;
        if (field.whole_minutes) {
          if (!value || !value->is_number_integer() ||
              value->get<int64_t>() < 0 || value->get<int64_t>() > INT32_MAX)
            RaiseBackend(where + ": '" + field.name +
                         "' must be a whole number from 0 to 2147483647");
          values.push_back({"", value->get<int64_t>()});
          continue;
        }
        if (value && !value->is_string())
          RaiseBackend(where + ": '" + field.name + "' must be a string");
        std::string text = value ? value->get<std::string>() : "";
        if (field.required && text.empty())
          RaiseBackend(where + " needs '" + field.name + "'");
        values.push_back({text, std::nullopt});
      }
      auto [seen, fresh] = first_at.emplace(values[0].text, i);
      if (!fresh)
        RaiseBackend(where + ": " + section.fields[0].name + " '" +
                     values[0].text + "' is given twice (first at " +
                     section.name + "[" + std::to_string(seen->second) +
                     "]); nothing was loaded");
      rows.emplace_back(section.table, std::move(values));
    }
  }
  return rows;
}

}  // namespace

void BackendStore::CheckMasterData(const std::string& json_text) {
  ParseMasterData(json_text);
}

int BackendStore::LoadMasterData(const std::string& json_text) {
  // Every row is checked before anything is written.
  MasterRows rows = ParseMasterData(json_text);
  engine_->WriteTransaction(
      [&] {
        for (const auto& [table, values] : rows)
          engine_->PutMasterRow(table, values);
      },
      StorageEngine::Ending::kCommit);
  return static_cast<int>(rows.size());
}

void BackendStore::ForEachCall(
    const CallQuery& query,
    const std::function<void(const StoredCall&)>& visit) {
  int64_t after = 0;
  std::optional<std::pair<int64_t, int64_t>> before;  // by last change
  if (query.after) {
    std::optional<int64_t> seq = SeqOfNumber(*query.after);
    std::optional<CallRow> row;
    if (seq)
      engine_->ReadTransaction([&] { row = engine_->ReadCall(*seq, false); });
    if (!row) RaiseBackend("no service call '" + *query.after + "'");
    after = *seq;
    before = {after, row->properties["LastTransactionTime"].number};
  }
  int64_t left = query.limit.value_or(INT64_MAX);
  if (query.newest_change_first) {  // each page on one snapshot
    for (bool more = true; more && left > 0;) {
      engine_->ReadTransaction([&] {
        int64_t want = std::min(left, kPage);
        auto page = engine_->ChangedCallPage(query, before, want);
        more = static_cast<int64_t>(page.size()) == want;
        for (const auto& [seq, time] : page) {
          std::optional<CallRow> row = engine_->ReadCall(seq, false);
          before = {seq, time};
          --left;
          if (row) visit(AsStored(Numbered("SC", seq), std::move(*row)));
        }
      });
    }
    return;
  }
  // A page at a time in sequence order, each page on one snapshot; each
  // call is read and handed on before the next, so memory does not grow
  // with the table. A page run again (after a lost connection) goes on
  // after the last call handed on.
  for (bool more = true; more && left > 0;) {
    // Calls past the settled ones wait for a later listing: a lower number
    // might still commit.
    int64_t settled = engine_->SettledSeq();
    engine_->ReadTransaction([&] {
      int64_t want = std::min(left, kPage);
      std::vector<int64_t> page = engine_->CallPage(query, after, want);
      more = static_cast<int64_t>(page.size()) == want;
      for (int64_t seq : page) {
        if (seq > settled) {
          more = false;
          break;
        }
        std::optional<CallRow> row = engine_->ReadCall(seq, false);
        after = seq;
        --left;
        if (row) visit(AsStored(Numbered("SC", seq), std::move(*row)));
      }
    });
  }
}

int64_t BackendStore::CountCalls(const CallQuery& query, int64_t cap) {
  int64_t n = 0;
  int64_t after = 0;
  while (n < cap) {
    int64_t want = std::min(kPage, cap - n);
    std::vector<int64_t> page;
    engine_->ReadTransaction(
        [&] { page = engine_->CallPage(query, after, want); });
    n += static_cast<int64_t>(page.size());
    if (static_cast<int64_t>(page.size()) < want) break;
    after = page.back();
  }
  return n;
}

std::vector<StoredCall> BackendStore::Calls(const CallQuery& query) {
  std::vector<StoredCall> out;
  ForEachCall(query, [&](const StoredCall& c) { out.push_back(c); });
  return out;
}

std::optional<StoredCall> BackendStore::Call(const std::string& number) {
  return LoadCall(number);
}

std::optional<StoredItem> BackendStore::Item(const std::string& serial) {
  std::optional<StoredItem> item;
  engine_->ReadTransaction([&] { item = ItemIn(serial); });
  return item;
}

std::optional<StoredItem> BackendStore::ItemIn(const std::string& serial) {
  std::optional<std::string> component = engine_->ItemComponent(serial);
  if (!component) return std::nullopt;
  return StoredItem{serial, *component, engine_->ItemFields(serial)};
}

namespace {

// `text` within `haystack`, ASCII letters in either case.
bool Contains(const std::string& haystack, const std::string& text) {
  auto fold = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return std::search(haystack.begin(), haystack.end(), text.begin(), text.end(),
                     [&](char a, char b) { return fold(a) == fold(b); }) !=
         haystack.end();
}

bool ItemMatches(const StoredItem& item, const std::string& text) {
  if (Contains(item.serial, text)) return true;
  for (const auto& [name, value] : item.fields)
    if (Contains(value, text)) return true;
  return false;
}

MasterTable TableOf(MasterList list) {
  return list == MasterList::kBusinessPartners ? MasterTable::kBusinessPartners
                                               : MasterTable::kServiceObjects;
}

MasterEntry EntryOf(MasterList list, std::vector<std::string> row) {
  static const char* const kPartner[] = {"name"};
  static const char* const kObject[] = {
      "contract", "warranty", "warrantyDescription", "warrantyExpiryDate"};
  MasterEntry entry{row.at(0), {}};
  bool partner = list == MasterList::kBusinessPartners;
  size_t width = partner ? std::size(kPartner) : std::size(kObject);
  for (size_t i = 0; i < width && i + 1 < row.size(); ++i)
    entry.columns.emplace_back(partner ? kPartner[i] : kObject[i],
                               std::move(row[i + 1]));
  return entry;
}

}  // namespace

void BackendStore::ForEachItem(
    const ItemQuery& query,
    const std::function<void(const StoredItem&)>& visit) {
  if (query.after) {
    bool found = false;
    engine_->ReadTransaction(
        [&] { found = engine_->ItemComponent(*query.after).has_value(); });
    if (!found) RaiseBackend("no serialized item '" + *query.after + "'");
  }
  std::optional<std::string> after = query.after;
  int64_t left = query.limit.value_or(INT64_MAX);
  for (bool more = true; more && left > 0;) {
    engine_->ReadTransaction([&] {
      // A search reads whole pages: most items may not match.
      int64_t want = query.text ? kPage : std::min(left, kPage);
      std::vector<std::string> page = engine_->ItemPage(after, want);
      more = static_cast<int64_t>(page.size()) == want;
      for (const std::string& serial : page) {
        std::optional<StoredItem> item = ItemIn(serial);
        after = serial;
        if (!item || (query.text && !ItemMatches(*item, *query.text))) continue;
        visit(*item);
        if (--left == 0) break;
      }
    });
  }
}

std::vector<MasterEntry> BackendStore::FindMaster(MasterList list,
                                                  const std::string& search,
                                                  int64_t limit) {
  std::vector<MasterEntry> out;
  std::string after;  // "" sorts before every key
  while (static_cast<int64_t>(out.size()) < limit) {
    std::vector<std::vector<std::string>> page;
    engine_->ReadTransaction(
        [&] { page = engine_->MasterPage(TableOf(list), after, kPage); });
    for (std::vector<std::string>& row : page) {
      after = row.at(0);
      bool match = search.empty() || Contains(row[0], search);
      for (size_t i = 1; !match && i < row.size(); ++i)
        match = Contains(row[i], search);
      if (!match) continue;
      out.push_back(EntryOf(list, std::move(row)));
      if (static_cast<int64_t>(out.size()) >= limit) break;
    }
    if (static_cast<int64_t>(page.size()) < kPage) break;
  }
  return out;
}

std::optional<MasterEntry> BackendStore::MasterOf(MasterList list,
                                                  const std::string& key) {
  std::optional<std::vector<std::string>> row;
  engine_->ReadTransaction(
      [&] { row = engine_->MasterRowOf(TableOf(list), key); });
  if (!row) return std::nullopt;
  return EntryOf(list, std::move(*row));
}

std::vector<StoredItem> BackendStore::Items(const ItemQuery& query) {
  std::vector<StoredItem> out;
  ForEachItem(query, [&](const StoredItem& i) { out.push_back(i); });
  return out;
}

}  // namespace quillet::standins
