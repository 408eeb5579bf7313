#include "quillet/standins/backend_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "backend_failure.h"
#include "quillet/error.h"
#include "quillet/text.h"
#include "request_record.h"
#include "sqlite_schema.h"

namespace quillet::standins {

// Prepared statements of one connection, prepared once and reused; keyed by
// the address of their SQL text (always a literal).
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  ~StatementCache() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  }
  sqlite3* db() const { return db_; }
  sqlite3_stmt* Get(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      RaiseSqlite(db_, std::string("preparing \"") + sql + "\"");
    }
    statements_.emplace(sql, stmt);
    return stmt;
  }

 private:
  sqlite3* db_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

namespace {

// One use of a cached statement; values are only ever bound, never spliced
// in. Reset when the use ends.
class Statement {
 public:
  Statement(StatementCache& cache, const char* sql)
      : db_(cache.db()), stmt_(cache.Get(sql)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, i, text.data(),
                            static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int i, int64_t n) {
    Check(sqlite3_bind_int64(stmt_, i, n));
    return *this;
  }
  template <class T>
  Statement& Bind(int i, const std::optional<T>& value) {
    if (value) return Bind(i, *value);
    Check(sqlite3_bind_null(stmt_, i));
    return *this;
  }
  Statement& Bind(int i, const StoredValue& v) {
    return v.type == "String" ? Bind(i, v.text) : Bind(i, v.number);
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    RaiseSqlite(db_, std::string("running \"") + sqlite3_sql(stmt_) + "\"");
  }
  // Runs to the end; the statement can be bound and run again.
  void Run() {
    while (Step()) {
    }
    sqlite3_reset(stmt_);
  }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(
                   reinterpret_cast<const char*>(p),
                   static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) RaiseSqlite(db_, "binding a value");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

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

}  // namespace

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class BackendStore::Transaction {
 public:
  explicit Transaction(BackendStore& store) : store_(store) {
    Statement(*store_.cache_, "BEGIN IMMEDIATE").Run();
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Statement(*store_.cache_, "COMMIT").Run();
    done_ = true;
  }

 private:
  BackendStore& store_;
  bool done_ = false;
};

BackendStore::BackendStore(const std::string& path, Open open) : path_(path) {
  CheckDatabasePath(path);
  bool reading = open == Open::kForReading;
  std::error_code ec;
  if (reading && !std::filesystem::exists(path, ec))
    RaiseBackend("no database '" + path + "'");
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (!reading) flags |= SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    RaiseBackend("cannot open database '" + path + "': " + message);
  }
  sqlite3_busy_timeout(db_, 10000);
  sqlite3_extended_result_codes(db_, 1);
  try {
    // Nothing is written before the file is known to be Quillet's.
    PrepareSchema(db_, path, open);
    // WAL with NORMAL sync: a commit survives a crash of the process; the
    // last commits may be lost if the machine loses power.
    if (!reading) Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    cache_ = std::make_unique<StatementCache>(db_);
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

BackendStore::~BackendStore() {
  cache_.reset();
  sqlite3_close(db_);
}

void BackendStore::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    RaiseBackend("database '" + path_ + "': " + message);
  }
}

void BackendStore::Fail(const std::string& what) { RaiseSqlite(db_, what); }

namespace {

// A property of a call that is being created: nothing to replace.
void AddProperty(StatementCache& db, const std::string& number,
                 const std::string& name, const StoredValue& value) {
  Statement s(db,
              "INSERT INTO call_properties(call_number, name, type, value) "
              "VALUES(?1, ?2, ?3, ?4)");
  s.Bind(1, number).Bind(2, name).Bind(3, value.type).Bind(4, value);
  s.Run();
}

void PutProperty(StatementCache& db, const std::string& number,
                 const std::string& name, const StoredValue& value) {
  Statement s(db,
              "INSERT INTO call_properties(call_number, name, type, value) "
              "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(call_number, name) DO "
              "UPDATE SET type = excluded.type, value = excluded.value");
  s.Bind(1, number).Bind(2, name).Bind(3, value.type).Bind(4, value);
  s.Run();
}

void PutText(StatementCache& db, const std::string& number, const char* kind,
             const StoredText& text) {
  if (text.text_mode != "a") {
    Statement clear(
        db, "DELETE FROM call_texts WHERE call_number = ?1 AND kind = ?2");
    clear.Bind(1, number).Bind(2, std::string(kind));
    clear.Run();
  }
  Statement next(db,
                 "SELECT coalesce(max(position), 0) FROM call_texts WHERE "
                 "call_number = ?1 AND kind = ?2");
  next.Bind(1, number).Bind(2, std::string(kind));
  next.Step();
  int64_t position = next.Int(0);
  Statement insert(db,
                   "INSERT INTO call_texts(call_number, kind, position, "
                   "piece, text_mode) VALUES(?1, ?2, ?3, ?4, ?5)");
  for (const std::string& piece : text.pieces) {
    insert.Bind(1, number).Bind(2, std::string(kind)).Bind(3, ++position);
    insert.Bind(4, piece).Bind(5, text.text_mode);
    insert.Run();
  }
}

// The clock now, as a last transaction time.
int64_t TransactionTimeNow() {
  return TransactionTimeAt(static_cast<int64_t>(std::time(nullptr)));
}

bool Exists(StatementCache& db, const char* sql, const std::string& key) {
  Statement s(db, sql);
  s.Bind(1, key);
  return s.Step();
}

}  // namespace

std::optional<StoredCall> BackendStore::LoadCall(const std::string& number) {
  if (!Exists(*cache_, "SELECT 1 FROM calls WHERE call_number = ?1", number))
    return std::nullopt;
  StoredCall call;
  call.call_number = number;
  Statement props(*cache_,
                  "SELECT name, type, value FROM call_properties WHERE "
                  "call_number = ?1");
  props.Bind(1, number);
  while (props.Step()) {
    StoredValue v{props.Text(1), "", 0};
    if (v.type == "String") {
      v.text = props.Text(2);
    } else {
      v.number = props.Int(2);
    }
    call.properties[props.Text(0)] = v;
  }
  Statement texts(*cache_,
                  "SELECT kind, piece FROM call_texts WHERE call_number = ?1 "
                  "ORDER BY kind, position");
  texts.Bind(1, number);
  while (texts.Step())
    (texts.Text(0) == "Text" ? call.text : call.solution_text)
        .push_back(texts.Text(1));
  return call;
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
  if (!partner.empty() &&
      !Exists(*cache_, "SELECT 1 FROM business_partners WHERE number = ?1",
              partner))
    outcome.messages.push_back("Unknown business partner '" + partner +
                               "'; the call was stored without partner data");

  std::map<std::string, StoredValue> assigned;
  std::string object = Prop(call, "ServiceObject");
  Statement facts(
      *cache_,
      "SELECT contract, warranty, warranty_description, "
      "warranty_expiry_date FROM service_objects WHERE object = ?1");
  facts.Bind(1, object);
  if (facts.Step()) {
    assigned["Contract"] = Str(facts.Text(0));
    bool warranty = !facts.Text(1).empty();
    assigned["WarrantyFlag"] = Num("Byte", warranty ? 1 : 0);
    assigned["Warranty"] = Str(facts.Text(1));
    assigned["WarrantyDescription"] = Str(facts.Text(2));
    assigned["WarrantyExpiryDate"] = Str(facts.Text(3));
  } else if (!object.empty()) {
    outcome.messages.push_back("Unknown service object '" + object +
                               "'; no contract or warranty was applied");
  }

  int64_t time = TransactionTimeNow();
  Statement insert(*cache_,
                   "INSERT INTO calls(component, last_transaction_time) "
                   "VALUES(?1, ?2)");
  insert.Bind(1, component).Bind(2, time);
  insert.Run();
  std::string number = Numbered("SC", sqlite3_last_insert_rowid(db_));
  Statement name(*cache_, "UPDATE calls SET call_number = ?1 WHERE seq = ?2");
  name.Bind(1, number).Bind(2, sqlite3_last_insert_rowid(db_));
  name.Run();

  std::map<std::string, StoredValue> properties = call.properties;
  properties["CallNumber"] = Str(number);
  properties["LastTransactionTime"] = Num("Long", time);
  for (const auto& [key, value] : assigned) properties[key] = value;
  for (const auto& [key, value] : properties)
    AddProperty(*cache_, number, key, value);
  if (call.text) PutText(*cache_, number, "Text", *call.text);
  if (call.solution_text)
    PutText(*cache_, number, "SolutionText", *call.solution_text);

  // The call as stored is what was just written: no need to read it back.
  StoredCall stored{number, std::move(properties), {}, {}};
  if (call.text) stored.text = call.text->pieces;
  if (call.solution_text) stored.solution_text = call.solution_text->pieces;
  outcome.stored = std::move(stored);
  return outcome;
}

SubmitOutcome BackendStore::ChangedCall(const CallData& call) {
  SubmitOutcome outcome;
  std::string number = Prop(call, "CallNumber");
  std::optional<StoredCall> existing = LoadCall(number);
  if (!existing) {
    outcome.messages.push_back("Service call '" + number +
                               "' not found; nothing was changed");
    return outcome;
  }
  auto status = existing->properties.find("Status");
  if (status != existing->properties.end() && status->second.number == 30) {
    outcome.messages.push_back("Service call " + number +
                               " is completed; the change was refused");
    // Answered as stored, but not as changed.
    outcome.stored = existing;
    outcome.stored->properties["ChangedFlag"] = Num("Byte", 0);
    return outcome;
  }
  bool changed = (call.text && !call.text->pieces.empty()) ||
                 (call.solution_text && !call.solution_text->pieces.empty());
  for (const auto& [key, value] : call.properties) {
    auto it = existing->properties.find(key);
    if (key != "CallNumber" &&
        (it == existing->properties.end() || !(it->second == value)))
      changed = true;
  }
  if (!changed) {
    outcome.nothing_to_apply = true;
    return outcome;
  }
  for (const auto& [key, value] : call.properties)
    if (key != "CallNumber") PutProperty(*cache_, number, key, value);
  if (call.text) PutText(*cache_, number, "Text", *call.text);
  if (call.solution_text)
    PutText(*cache_, number, "SolutionText", *call.solution_text);

  auto new_status = call.properties.find("Status");
  if (new_status != call.properties.end() && new_status->second.number == 30 &&
      !existing->properties.contains("ServiceOrder")) {
    Statement seq(*cache_, "SELECT seq FROM calls WHERE call_number = ?1");
    seq.Bind(1, number);
    seq.Step();
    PutProperty(*cache_, number, "ServiceOrder",
                Str(Numbered("SO", seq.Int(0))));
    PutProperty(*cache_, number, "HasServiceOrder", Num("Boolean", 1));
  }
  int64_t time = TransactionTimeNow();
  Statement stamp(*cache_,
                  "UPDATE calls SET last_transaction_time = ?1 WHERE "
                  "call_number = ?2");
  stamp.Bind(1, time).Bind(2, number);
  stamp.Run();
  PutProperty(*cache_, number, "LastTransactionTime", Num("Long", time));
  PutProperty(*cache_, number, "ChangedFlag", Num("Byte", 1));
  outcome.stored = LoadCall(number);
  return outcome;
}

// A request under a caller's key: what it is, to recognise it again.
struct BackendStore::KeyedRequest {
  std::string key;
  std::string kind;
  std::string digest;
};

std::optional<std::string> BackendStore::RecordedAnswer(
    const KeyedRequest& request, bool& mismatch) {
  Statement s(*cache_,
              "SELECT kind, digest, answer FROM request_keys WHERE key = ?1");
  s.Bind(1, request.key);
  if (!s.Step()) return std::nullopt;
  mismatch = s.Text(0) != request.kind || s.Text(1) != request.digest;
  return s.Text(2);
}

void BackendStore::RecordAnswer(const KeyedRequest& request,
                                const std::string& answer) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  // Expired keys go a few at a time, oldest first, through the index: no
  // write ever scans the table, and pruning keeps up with the keys added.
  Statement prune(*cache_,
                  "DELETE FROM request_keys WHERE key IN (SELECT key FROM "
                  "request_keys WHERE created_at < ?1 ORDER BY created_at "
                  "LIMIT 16)");
  prune.Bind(1, now - key_retention_);
  prune.Run();
  Statement insert(*cache_,
                   "INSERT INTO request_keys(key, kind, digest, answer, "
                   "created_at) VALUES(?1, ?2, ?3, ?4, ?5)");
  insert.Bind(1, request.key).Bind(2, request.kind).Bind(3, request.digest);
  insert.Bind(4, answer).Bind(5, now);
  insert.Run();
}

namespace {

std::string KeyRefusal(const std::string& key) {
  return "Request key '" + key +
         "' was already used for a different request; nothing was written";
}

}  // namespace

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

SubmitOutcome BackendStore::KeyedCall(
    const char* kind, const std::string& component, const CallData& call,
    const std::string& request_key,
    const std::function<SubmitOutcome()>& body) {
  Transaction tx(*this);
  if (request_key.empty()) {
    SubmitOutcome outcome = body();
    tx.Commit();
    return outcome;
  }
  KeyedRequest request{request_key, kind, RequestDigest(kind, component, call)};
  bool mismatch = false;
  if (std::optional<std::string> answer = RecordedAnswer(request, mismatch)) {
    SubmitOutcome outcome;
    if (mismatch) {
      outcome.messages.push_back(KeyRefusal(request_key));
      return outcome;
    }
    outcome = OutcomeFromJson(*answer);
    outcome.replayed = true;
    return outcome;
  }
  SubmitOutcome outcome = body();
  RecordAnswer(request, AnswerJson(outcome));
  tx.Commit();
  return outcome;
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
  Transaction tx(*this);
  if (request_key.empty()) {
    ItemOutcome outcome{body()};
    tx.Commit();
    return outcome;
  }
  KeyedRequest request{request_key, kind,
                       RequestDigest(kind, component, fields)};
  bool mismatch = false;
  if (std::optional<std::string> answer = RecordedAnswer(request, mismatch)) {
    if (mismatch) return {KeyRefusal(request_key)};
    return {nlohmann::json::parse(*answer).at("refusal").get<std::string>(),
            true};
  }
  ItemOutcome outcome{body()};
  RecordAnswer(request,
               nlohmann::json{{"refusal", outcome.refusal}}.dump(
                   -1, ' ', false, nlohmann::json::error_handler_t::ignore));
  tx.Commit();
  return outcome;
}

int32_t BackendStore::EngineerTime(const std::string& question_id) {
  Statement s(*cache_,
              "SELECT minutes FROM engineer_time WHERE question_id = ?1");
  s.Bind(1, question_id);
  return s.Step() ? static_cast<int32_t>(s.Int(0)) : 0;
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

void PutFields(StatementCache& db, const std::string& serial,
               const std::vector<std::pair<std::string, std::string>>& fields) {
  Statement next(
      db,
      "SELECT coalesce(max(position), 0) FROM item_fields WHERE serial = ?1");
  next.Bind(1, serial);
  next.Step();
  int64_t position = next.Int(0);
  Statement put(db,
                "INSERT INTO item_fields(serial, position, name, value) "
                "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(serial, name) DO UPDATE "
                "SET value = excluded.value");
  for (const auto& [name, value] : fields) {
    put.Bind(1, serial).Bind(2, ++position).Bind(3, name).Bind(4, value);
    put.Run();
  }
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
  if (Exists(*cache_, "SELECT 1 FROM items WHERE serial = ?1", serial))
    return "Serialized item '" + serial + "' already exists";
  Statement insert(*cache_,
                   "INSERT INTO items(serial, component) VALUES(?1, ?2)");
  insert.Bind(1, serial).Bind(2, component);
  insert.Run();
  PutFields(*cache_, serial, clean);
  return "";
}

std::string BackendStore::ChangedItem(
    const std::string& component,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string problem, serial;
  auto clean = CleanFields(fields, problem, serial);
  if (!problem.empty()) return problem;
  if (!Exists(*cache_, "SELECT 1 FROM items WHERE serial = ?1", serial))
    return "Serialized item '" + serial + "' not found";
  Statement touch(*cache_,
                  "UPDATE items SET component = ?2, changed_at = "
                  "strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE serial = ?1");
  touch.Bind(1, serial).Bind(2, component);
  touch.Run();
  PutFields(*cache_, serial, clean);
  return "";
}

namespace {

// One section of the master data: its rows' fields, in the order the
// INSERT binds them; the first is the row's key.
struct MasterSection {
  const char* name;
  const char* insert;
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
       "INSERT OR REPLACE INTO service_objects(object, contract, warranty, "
       "warranty_description, warranty_expiry_date) VALUES(?1, ?2, ?3, ?4, "
       "?5)",
       {{"object", true, false},
        {"contract", false, false},
        {"warranty", false, false},
        {"warrantyDescription", false, false},
        {"warrantyExpiryDate", false, false}}},
      {"businessPartners",
       "INSERT OR REPLACE INTO business_partners(number, name) VALUES(?1, ?2)",
       {{"number", true, false}, {"name", false, false}}},
      {"engineerTime",
       "INSERT OR REPLACE INTO engineer_time(question_id, minutes) VALUES(?1, "
       "?2)",
       {{"question", true, false}, {"minutes", true, true}}},
  };
  return sections;
}

}  // namespace

int BackendStore::LoadMasterData(const std::string& json_text) {
  using nlohmann::json;
  json data;
  try {
    data = json::parse(json_text);
  } catch (const json::exception& e) {
    RaiseBackend(std::string("master data is not valid JSON: ") + e.what());
  }
  if (!data.is_object()) RaiseBackend("master data must be a JSON object");
  const std::vector<MasterSection>& sections = MasterSections();
  for (const auto& [name, value] : data.items()) {
    if (std::none_of(sections.begin(), sections.end(),
                     [&](const MasterSection& s) { return name == s.name; }))
      RaiseBackend("master data: unknown section '" + name +
                   "' (known: serviceObjects, businessPartners, "
                   "engineerTime)");
    if (!value.is_array())
      RaiseBackend("master data: '" + name + "' must be an array");
  }
  // One transaction: a refused entry leaves nothing loaded.
  int loaded = 0;
  Transaction tx(*this);
  for (const MasterSection& section : sections) {
    if (!data.contains(section.name)) continue;
    const json& rows = data[section.name];
    for (size_t i = 0; i < rows.size(); ++i) {
      const json& row = rows[i];
      std::string where = std::string("master data: ") + section.name + "[" +
                          std::to_string(i) + "]";
      if (!row.is_object()) RaiseBackend(where + " must be an object");
      for (const auto& [key, value] : row.items()) {
        if (std::none_of(
                section.fields.begin(), section.fields.end(),
                [&](const MasterSection::Field& f) { return key == f.name; }))
          RaiseBackend(where + ": unknown field '" + key + "'");
      }
      Statement insert(*cache_, section.insert);
      int column = 0;
      for (const MasterSection::Field& field : section.fields) {
        ++column;
        const json* value =
            row.contains(field.name) ? &row[field.name] : nullptr;
        if (field.whole_minutes) {
          if (!value || !value->is_number_integer() ||
              value->get<int64_t>() < 0 || value->get<int64_t>() > INT32_MAX)
            RaiseBackend(where + ": '" + field.name +
                         "' must be a whole number from 0 to 2147483647");
          insert.Bind(column, value->get<int64_t>());
          continue;
        }
        if (value && !value->is_string())
          RaiseBackend(where + ": '" + field.name + "' must be a string");
        std::string text = value ? value->get<std::string>() : "";
        if (field.required && text.empty())
          RaiseBackend(where + " needs '" + field.name + "'");
        insert.Bind(column, text);
      }
      insert.Run();
      ++loaded;
    }
  }
  tx.Commit();
  return loaded;
}

void BackendStore::ForEachCall(
    const CallQuery& query,
    const std::function<void(const StoredCall&)>& visit) {
  int64_t after = 0;
  if (query.after) {
    Statement seq(*cache_, "SELECT seq FROM calls WHERE call_number = ?1");
    seq.Bind(1, *query.after);
    if (!seq.Step()) RaiseBackend("no service call '" + *query.after + "'");
    after = seq.Int(0);
  }
  // In sequence order, filtered by the rows' own indexes; each call is read
  // and handed on before the next, so memory does not grow with the table.
  Statement s(*cache_,
              "SELECT call_number FROM calls WHERE seq > ?1 "
              "AND (?2 IS NULL OR last_transaction_time >= ?2) "
              "AND (?3 IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
              "WHERE p.call_number = calls.call_number AND p.name = 'Status' "
              "AND p.value = ?3)) "
              "AND (?4 IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
              "WHERE p.call_number = calls.call_number AND p.name = "
              "'SoldToBusinessPartner' AND p.value = ?4)) "
              "ORDER BY seq LIMIT ?5");
  s.Bind(1, after).Bind(2, query.changed_since).Bind(3, query.status);
  s.Bind(4, query.sold_to).Bind(5, query.limit.value_or(-1));
  while (s.Step())
    if (std::optional<StoredCall> call = LoadCall(s.Text(0))) visit(*call);
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
  Statement s(*cache_, "SELECT component FROM items WHERE serial = ?1");
  s.Bind(1, serial);
  if (!s.Step()) return std::nullopt;
  StoredItem item{serial, s.Text(0), {}};
  Statement f(*cache_,
              "SELECT name, value FROM item_fields WHERE serial = ?1 ORDER BY "
              "position");
  f.Bind(1, serial);
  while (f.Step()) item.fields.emplace_back(f.Text(0), f.Text(1));
  return item;
}

void BackendStore::ForEachItem(
    const ItemQuery& query,
    const std::function<void(const StoredItem&)>& visit) {
  if (query.after &&
      !Exists(*cache_, "SELECT 1 FROM items WHERE serial = ?1", *query.after))
    RaiseBackend("no serialized item '" + *query.after + "'");
  Statement s(*cache_,
              "SELECT serial FROM items WHERE ?1 IS NULL OR serial > ?1 "
              "ORDER BY serial LIMIT ?2");
  s.Bind(1, query.after).Bind(2, query.limit.value_or(-1));
  while (s.Step())
    if (std::optional<StoredItem> item = Item(s.Text(0))) visit(*item);
}

std::vector<StoredItem> BackendStore::Items(const ItemQuery& query) {
  std::vector<StoredItem> out;
  ForEachItem(query, [&](const StoredItem& i) { out.push_back(i); });
  return out;
}

}  // namespace quillet::standins
