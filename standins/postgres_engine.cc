// The PostgreSQL engine: one libpq connection per BackendStore, to a
// database that any number of hosts share.
//
// - Call numbers come from an identity column: unique across hosts, never
//   reused.
// - Write transactions run at READ COMMITTED; a change locks its call's row
//   (SELECT ... FOR UPDATE), so changes of one call are serialised. A
//   transaction that meets a concurrent one (a deadlock, a serialisation
//   failure, a key or item another host stored first) is rolled back and
//   run again, at most kAttempts times, and then fails with a clear error.
// - A lost connection fails the operation in flight (the server rolls its
//   transaction back); the next operation connects again.
// - Texts that users give are stored as bytes (BYTEA), exactly as given,
//   whatever they hold; statements are prepared once per connection and
//   values are only ever bound.
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <unordered_map>

#include "backend_failure.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

constexpr int kAttempts = 8;
constexpr int64_t kBytea = 17;  // the type OID of BYTEA

constexpr const char* kSchema = R"sql(
CREATE TABLE quillet_meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE calls(
  seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  call_number BYTEA UNIQUE,
  component BYTEA NOT NULL,
  last_transaction_time BIGINT NOT NULL,
  created_at TIMESTAMPTZ NOT NULL DEFAULT now());
CREATE INDEX calls_by_time ON calls(last_transaction_time);
CREATE TABLE call_properties(
  call_number BYTEA NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  value BYTEA NOT NULL,
  PRIMARY KEY(call_number, name));
CREATE TABLE call_texts(
  call_number BYTEA NOT NULL,
  kind TEXT NOT NULL,
  position BIGINT NOT NULL,
  piece BYTEA NOT NULL,
  text_mode TEXT NOT NULL,
  PRIMARY KEY(call_number, kind, position));
CREATE TABLE service_objects(
  object BYTEA PRIMARY KEY,
  contract BYTEA NOT NULL,
  warranty BYTEA NOT NULL,
  warranty_description BYTEA NOT NULL,
  warranty_expiry_date BYTEA NOT NULL);
CREATE TABLE business_partners(
  number BYTEA PRIMARY KEY,
  name BYTEA NOT NULL);
CREATE TABLE engineer_time(
  question_id BYTEA PRIMARY KEY,
  minutes BIGINT NOT NULL);
CREATE TABLE items(
  serial BYTEA PRIMARY KEY,
  component BYTEA NOT NULL,
  changed_at TIMESTAMPTZ NOT NULL DEFAULT now());
CREATE TABLE item_fields(
  serial BYTEA NOT NULL,
  position BIGINT NOT NULL,
  name BYTEA NOT NULL,
  value BYTEA NOT NULL,
  PRIMARY KEY(serial, name));
CREATE TABLE request_keys(
  key BYTEA PRIMARY KEY,
  kind TEXT NOT NULL,
  digest TEXT NOT NULL,
  answer TEXT NOT NULL,
  created_at BIGINT NOT NULL);
CREATE INDEX request_keys_by_age ON request_keys(created_at);
)sql";

// Raised inside a write transaction when a concurrent one got in the way;
// the transaction is run again.
struct Conflict {};

// One parameter: bytes (sent in binary form: raw text or BYTEA), a number
// (sent as text), or NULL.
struct Param {
  std::string bytes;
  bool binary = true;
  bool null = false;
};
Param Bytes(const std::string& s) { return {s, true, false}; }
Param Int(int64_t n) { return {std::to_string(n), false, false}; }
template <class T>
Param Maybe(const std::optional<T>& v) {
  if (!v) return {"", false, true};
  if constexpr (std::is_same_v<T, std::string>)
    return Bytes(*v);
  else
    return Int(*v);
}
Param Value(const StoredValue& v) {
  return Bytes(v.type == "String" ? v.text : std::to_string(v.number));
}

// The rows of one statement's result, freed with it.
class Result {
 public:
  explicit Result(PGresult* r) : r_(r) {}
  ~Result() { PQclear(r_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  int Rows() const { return PQntuples(r_); }
  int Columns() const { return PQnfields(r_); }
  std::string Text(int row, int col) const {
    const char* p = PQgetvalue(r_, row, col);
    if (PQftype(r_, col) != kBytea)
      return std::string(p, static_cast<size_t>(PQgetlength(r_, row, col)));
    size_t length = 0;
    unsigned char* raw =
        PQunescapeBytea(reinterpret_cast<const unsigned char*>(p), &length);
    if (!raw) RaiseBackend("PostgreSQL: a value could not be decoded");
    std::string out(reinterpret_cast<const char*>(raw), length);
    PQfreemem(raw);
    return out;
  }
  int64_t Int(int row, int col) const {
    return std::stoll(PQgetvalue(r_, row, col));
  }

 private:
  PGresult* r_;
};

const char* MasterSql(MasterTable table) {
  switch (table) {
    case MasterTable::kServiceObjects:
      return "INSERT INTO service_objects(object, contract, warranty, "
             "warranty_description, warranty_expiry_date) VALUES($1, $2, $3, "
             "$4, $5) ON CONFLICT(object) DO UPDATE SET contract = "
             "excluded.contract, warranty = excluded.warranty, "
             "warranty_description = excluded.warranty_description, "
             "warranty_expiry_date = excluded.warranty_expiry_date";
    case MasterTable::kBusinessPartners:
      return "INSERT INTO business_partners(number, name) VALUES($1, $2) ON "
             "CONFLICT(number) DO UPDATE SET name = excluded.name";
    case MasterTable::kEngineerTime:
      return "INSERT INTO engineer_time(question_id, minutes) VALUES($1, "
             "$2::bigint) ON CONFLICT(question_id) DO UPDATE SET minutes = "
             "excluded.minutes";
  }
  return "";
}

// Listing a master table (business partners or service objects): a page
// after a key, or the row of one key.
const char* MasterPageSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number > $1 "
               "ORDER BY number LIMIT $2::bigint"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object > $1 "
               "ORDER BY object LIMIT $2::bigint";
}
const char* MasterRowSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number = $1"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object = $1";
}

class PostgresEngine final : public StorageEngine {
 public:
  PostgresEngine(const std::string& uri, BackendStore::Open open)
      : conn_(PQconnectdb(uri.c_str())) {
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
      PQfinish(conn_);
      RaiseBackend("cannot connect to PostgreSQL: " + Trimmed(message));
    }
    try {
      PrepareSchema(open);
    } catch (...) {
      PQfinish(conn_);  // the destructor does not run for a refused database
      throw;
    }
  }
  ~PostgresEngine() override { PQfinish(conn_); }

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    std::minstd_rand jitter(std::random_device{}());
    for (int attempt = 1;; ++attempt) {
      Connected();
      Exec("BEGIN");
      in_transaction_ = true;
      try {
        work();
        Exec(ending == Ending::kCommit ? "COMMIT" : "ROLLBACK");
        in_transaction_ = false;
        return;
      } catch (const Conflict&) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        if (attempt == kAttempts)
          RaiseBackend("PostgreSQL: gave up after " +
                       std::to_string(kAttempts) +
                       " attempts: concurrent transactions kept conflicting "
                       "with this one; nothing was written");
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<int>(0, 2000 << attempt)(jitter)));
      } catch (...) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        throw;
      }
    }
  }

  int64_t NewCallSeq() override {
    return Run("SELECT nextval(pg_get_serial_sequence('calls', 'seq'))", {})
        .Int(0, 0);
  }
  void InsertCall(int64_t seq, const std::string& number,
                  const std::string& component, int64_t time,
                  const CallRow& row) override {
    Run("INSERT INTO calls(seq, call_number, component, "
        "last_transaction_time) OVERRIDING SYSTEM VALUE VALUES($1::bigint, "
        "$2, $3, $4::bigint)",
        {Int(seq), Bytes(number), Bytes(component), Int(time)});
    for (const auto& [name, value] : row.properties)
      PutProperty(number, name, value, /*is_new=*/true);
    AppendPieces(number, "Text", row.text, 0);
    AppendPieces(number, "SolutionText", row.solution_text, 0);
  }
  std::optional<CallRow> ReadCall(int64_t seq, bool for_update) override {
    Result call = Run(for_update ? "SELECT call_number FROM calls WHERE seq = "
                                   "$1::bigint FOR UPDATE"
                                 : "SELECT call_number FROM calls WHERE seq = "
                                   "$1::bigint",
                      {Int(seq)});
    if (call.Rows() == 0) return std::nullopt;
    std::string number = call.Text(0, 0);
    CallRow row;
    Result props = Run(
        "SELECT name, type, value FROM call_properties WHERE call_number = $1",
        {Bytes(number)});
    for (int i = 0; i < props.Rows(); ++i) {
      StoredValue v{props.Text(i, 1), "", 0};
      if (v.type == "String")
        v.text = props.Text(i, 2);
      else
        v.number = std::stoll(props.Text(i, 2));
      row.properties[props.Text(i, 0)] = std::move(v);
    }
    Result texts =
        Run("SELECT kind, piece FROM call_texts WHERE call_number = $1 "
            "ORDER BY kind, position",
            {Bytes(number)});
    for (int i = 0; i < texts.Rows(); ++i)
      (texts.Text(i, 0) == "Text" ? row.text : row.solution_text)
          .push_back(texts.Text(i, 1));
    return row;
  }
  // Writes only what differs: changed properties, and a text's new pieces
  // when it grew by appending.
  void RewriteCall(int64_t, const std::string& number, int64_t time,
                   const CallRow& before, const CallRow& after) override {
    Run("UPDATE calls SET last_transaction_time = $1::bigint WHERE "
        "call_number = $2",
        {Int(time), Bytes(number)});
    for (const auto& [name, value] : after.properties) {
      auto it = before.properties.find(name);
      if (it == before.properties.end() || !(it->second == value))
        PutProperty(number, name, value, /*is_new=*/false);
    }
    RewriteText(number, "Text", before.text, after.text);
    RewriteText(number, "SolutionText", before.solution_text,
                after.solution_text);
  }
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override {
    std::optional<std::string> status;
    if (query.status) status = std::to_string(*query.status);
    Result r =
        Run("SELECT seq FROM calls WHERE seq > $1::bigint "
            "AND ($2::bigint IS NULL OR last_transaction_time >= $2::bigint) "
            "AND ($3::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
            "WHERE p.call_number = calls.call_number AND p.name = 'Status' AND "
            "p.value = $3::bytea)) "
            "AND ($4::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
            "WHERE p.call_number = calls.call_number AND p.name = "
            "'SoldToBusinessPartner' AND p.value = $4::bytea)) "
            "AND ($6::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties "
            "p WHERE p.call_number = calls.call_number AND p.name = "
            "'CallDescription' AND position($6::bytea in p.value) > 0)) "
            "ORDER BY seq LIMIT $5::bigint",
            {Int(after_seq), Maybe(query.changed_since), Maybe(status),
             Maybe(query.sold_to), Int(limit), Maybe(query.text)});
    std::vector<int64_t> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Int(i, 0));
    return out;
  }

  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override {
    std::optional<std::string> status;
    if (query.status) status = std::to_string(*query.status);
    std::optional<int64_t> time, seq;
    if (before) std::tie(seq, time) = *before;
    Result r =
        Run("SELECT seq, last_transaction_time FROM calls WHERE ($1::bigint IS "
            "NULL OR (last_transaction_time, seq) < ($1::bigint, $7::bigint)) "
            "AND ($2::bigint IS NULL OR last_transaction_time >= $2::bigint) "
            "AND ($3::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
            "WHERE p.call_number = calls.call_number AND p.name = 'Status' AND "
            "p.value = $3::bytea)) "
            "AND ($4::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties p "
            "WHERE p.call_number = calls.call_number AND p.name = "
            "'SoldToBusinessPartner' AND p.value = $4::bytea)) "
            "AND ($6::bytea IS NULL OR EXISTS(SELECT 1 FROM call_properties "
            "p WHERE p.call_number = calls.call_number AND p.name = "
            "'CallDescription' AND position($6::bytea in p.value) > 0)) "
            "ORDER BY last_transaction_time DESC, seq DESC LIMIT $5::bigint",
            {Maybe(time), Maybe(query.changed_since), Maybe(status),
             Maybe(query.sold_to), Int(limit), Maybe(query.text), Maybe(seq)});
    std::vector<std::pair<int64_t, int64_t>> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.emplace_back(r.Int(i, 0), r.Int(i, 1));
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    return Run("SELECT 1 FROM business_partners WHERE number = $1",
               {Bytes(number)})
               .Rows() > 0;
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    Result r =
        Run("SELECT contract, warranty, warranty_description, "
            "warranty_expiry_date FROM service_objects WHERE object = "
            "$1",
            {Bytes(object)});
    if (r.Rows() == 0) return std::nullopt;
    return ServiceObjectFacts{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2),
                              r.Text(0, 3)};
  }
  int64_t EngineerMinutes(const std::string& question) override {
    Result r = Run("SELECT minutes FROM engineer_time WHERE question_id = $1",
                   {Bytes(question)});
    return r.Rows() ? r.Int(0, 0) : 0;
  }
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override {
    return Rows(Run(MasterPageSql(table), {Bytes(after), Int(limit)}));
  }
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override {
    std::vector<std::vector<std::string>> rows =
        Rows(Run(MasterRowSql(table), {Bytes(key)}));
    if (rows.empty()) return std::nullopt;
    return rows.front();
  }
  static std::vector<std::vector<std::string>> Rows(const Result& r) {
    std::vector<std::vector<std::string>> out(static_cast<size_t>(r.Rows()));
    for (int i = 0; i < r.Rows(); ++i)
      for (int col = 0; col < r.Columns(); ++col)
        out[static_cast<size_t>(i)].push_back(r.Text(i, col));
    return out;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
    std::vector<Param> params;
    for (const MasterValue& v : values)
      params.push_back(v.number ? Int(*v.number) : Bytes(v.text));
    Run(MasterSql(table), params);
  }

  std::optional<std::string> ItemComponent(const std::string& serial) override {
    Result r =
        Run("SELECT component FROM items WHERE serial = $1", {Bytes(serial)});
    if (r.Rows() == 0) return std::nullopt;
    return r.Text(0, 0);
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    Run("INSERT INTO items(serial, component) VALUES($1, $2)",
        {Bytes(serial), Bytes(component)});
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    Run("UPDATE items SET component = $2, changed_at = now() WHERE serial = "
        "$1",
        {Bytes(serial), Bytes(component)});
  }
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override {
    // The item's row is locked first, so that concurrent changes of one
    // item number their fields one after the other.
    Run("SELECT 1 FROM items WHERE serial = $1 FOR UPDATE", {Bytes(serial)});
    Result next = Run(
        "SELECT coalesce(max(position), 0) FROM item_fields WHERE serial = $1",
        {Bytes(serial)});
    int64_t position = next.Int(0, 0);
    for (const auto& [name, value] : fields)
      Run("INSERT INTO item_fields(serial, position, name, value) VALUES($1, "
          "$2::bigint, $3, $4) ON CONFLICT(serial, name) DO UPDATE SET value "
          "= excluded.value",
          {Bytes(serial), Int(++position), Bytes(name), Bytes(value)});
  }
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override {
    Result r =
        Run("SELECT name, value FROM item_fields WHERE serial = $1 "
            "ORDER BY position",
            {Bytes(serial)});
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.emplace_back(r.Text(i, 0), r.Text(i, 1));
    return out;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    Result r =
        Run("SELECT serial FROM items WHERE $1::bytea IS NULL OR "
            "serial > $1::bytea ORDER BY serial LIMIT $2::bigint",
            {Maybe(after), Int(limit)});
    std::vector<std::string> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Text(i, 0));
    return out;
  }

  std::optional<KeyRecord> FindKey(const std::string& key) override {
    Result r =
        Run("SELECT kind, digest, answer FROM request_keys WHERE key = $1",
            {Bytes(key)});
    if (r.Rows() == 0) return std::nullopt;
    return KeyRecord{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2)};
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t created_at) override {
    // A key another host stored meanwhile is a conflict: the transaction
    // runs again and then finds it.
    Run("INSERT INTO request_keys(key, kind, digest, answer, created_at) "
        "VALUES($1, $2, $3, $4, $5::bigint)",
        {Bytes(key), Bytes(record.kind), Bytes(record.digest),
         Bytes(record.answer), Int(created_at)});
  }
  void PruneKeys(int64_t created_before, int limit) override {
    Run("DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
        "WHERE created_at < $1::bigint ORDER BY created_at LIMIT $2::bigint "
        "FOR UPDATE SKIP LOCKED)",
        {Int(created_before), Int(limit)});
  }

 private:
  void PutProperty(const std::string& number, const std::string& name,
                   const StoredValue& value, bool is_new) {
    Run(is_new ? "INSERT INTO call_properties(call_number, name, type, value) "
                 "VALUES($1, $2, $3, $4)"
               : "INSERT INTO call_properties(call_number, name, type, value) "
                 "VALUES($1, $2, $3, $4) ON CONFLICT(call_number, name) DO "
                 "UPDATE SET type = excluded.type, value = excluded.value",
        {Bytes(number), Bytes(name), Bytes(value.type), Value(value)});
  }
  // Stores `pieces[from...]` after the `from` pieces the text has.
  void AppendPieces(const std::string& number, const char* kind,
                    const std::vector<std::string>& pieces, size_t from) {
    for (size_t i = from; i < pieces.size(); ++i)
      Run("INSERT INTO call_texts(call_number, kind, position, piece, "
          "text_mode) VALUES($1, $2, $3::bigint, $4, $5)",
          {Bytes(number), Bytes(kind), Int(static_cast<int64_t>(i + 1)),
           Bytes(pieces[i]), Bytes(from ? "a" : "")});
  }
  void RewriteText(const std::string& number, const char* kind,
                   const std::vector<std::string>& before,
                   const std::vector<std::string>& after) {
    if (before == after) return;
    bool appended = after.size() > before.size() &&
                    std::equal(before.begin(), before.end(), after.begin());
    if (!appended)
      Run("DELETE FROM call_texts WHERE call_number = $1 AND kind = $2",
          {Bytes(number), Bytes(kind)});
    AppendPieces(number, kind, after, appended ? before.size() : 0);
  }

  static std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }

  // A connection lost since the last operation is made anew (its prepared
  // statements with it).
  void Connected() {
    if (PQstatus(conn_) == CONNECTION_OK) return;
    PQreset(conn_);
    prepared_.clear();
    if (PQstatus(conn_) != CONNECTION_OK)
      RaiseBackend("cannot reconnect to PostgreSQL: " +
                   Trimmed(PQerrorMessage(conn_)));
  }

  [[noreturn]] void Fail(PGresult* result, const std::string& what) {
    std::string state;
    if (result)
      if (const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE))
        state = s;
    std::string message =
        Trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(conn_));
    PQclear(result);
    if (in_transaction_ &&
        (state == "40001" || state == "40P01" || state == "23505"))
      throw Conflict{};
    if (PQstatus(conn_) != CONNECTION_OK)
      RaiseBackend("the connection to PostgreSQL was lost (" + message +
                   "); the operation was not completed and nothing of it "
                   "was written");
    RaiseBackend("PostgreSQL: " + what + ": " + message);
  }

  Result Run(const char* sql, const std::vector<Param>& params) {
    Connected();
    auto it = prepared_.find(sql);
    if (it == prepared_.end()) {
      std::string name = "q" + std::to_string(prepared_.size());
      PGresult* r = PQprepare(conn_, name.c_str(), sql,
                              static_cast<int>(params.size()), nullptr);
      if (PQresultStatus(r) != PGRES_COMMAND_OK)
        Fail(r, std::string("preparing \"") + sql + "\"");
      PQclear(r);
      it = prepared_.emplace(sql, std::move(name)).first;
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.null ? nullptr : p.bytes.data());
      lengths.push_back(static_cast<int>(p.bytes.size()));
      formats.push_back(p.binary ? 1 : 0);
    }
    PGresult* r = PQexecPrepared(conn_, it->second.c_str(),
                                 static_cast<int>(params.size()), values.data(),
                                 lengths.data(), formats.data(), 0);
    ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      Fail(r, std::string("running \"") + sql + "\"");
    return Result(r);
  }

  void Exec(const char* sql) {
    PGresult* r = PQexec(conn_, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK &&
        PQresultStatus(r) != PGRES_TUPLES_OK)
      Fail(r, sql);
    PQclear(r);
  }
  void Discard(const char* sql) { PQclear(PQexec(conn_, sql)); }

  std::string Meta(const char* name) {
    Result r =
        Run("SELECT value FROM quillet_meta WHERE name = $1", {Bytes(name)});
    return r.Rows() ? r.Text(0, 0) : std::string();
  }

  // -1: empty; else the schema version. Raises for a database that is not
  // Quillet's or is newer than this build.
  int64_t SchemaVersion() {
    Result meta = Run("SELECT to_regclass('quillet_meta') IS NOT NULL", {});
    if (meta.Text(0, 0) != "t") {
      Result tables = Run(
          "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()",
          {});
      if (tables.Int(0, 0) == 0) return -1;
      RaiseBackend(
          "the PostgreSQL database is not a Quillet database; it was left "
          "untouched");
    }
    if (Meta("application") != "quillet")
      RaiseBackend(
          "the PostgreSQL database is not a Quillet database; it was left "
          "untouched");
    int64_t version = std::stoll("0" + Meta("schema_version"));
    if (version > kSchemaVersion)
      RaiseBackend("the PostgreSQL database has schema version " +
                   std::to_string(version) + ", newer than this Quillet's (" +
                   std::to_string(kSchemaVersion) + "); it was left untouched");
    return version;
  }

  void PrepareSchema(BackendStore::Open open) {
    int64_t version = SchemaVersion();
    if (version == kSchemaVersion) return;
    if (open == BackendStore::Open::kForReading)
      RaiseBackend(version < 0
                       ? "the PostgreSQL database is empty: nothing is stored "
                         "yet"
                       : "the PostgreSQL database was made by an earlier "
                         "Quillet; bring it up to date with 'quillet backend "
                         "migrate' first");
    // Hosts that start together create the schema once: the advisory lock
    // makes the others wait, and they then find it made.
    Exec("BEGIN");
    try {
      Exec("SELECT pg_advisory_xact_lock(1364937812)");
      version = SchemaVersion();
      if (version < 0) {
        Exec(kSchema);
        Run("INSERT INTO quillet_meta VALUES('application', 'quillet'), "
            "('schema_version', $1)",
            {Bytes(std::to_string(kSchemaVersion))});
      }
      // Versions 2 and 3 differ only in the SQLite layout.
      if (version >= 0 && version < kSchemaVersion)
        Run("UPDATE quillet_meta SET value = $1 WHERE name = "
            "'schema_version'",
            {Bytes(std::to_string(kSchemaVersion))});
      Exec("COMMIT");
    } catch (...) {
      Discard("ROLLBACK");
      throw;
    }
  }

  PGconn* conn_;
  bool in_transaction_ = false;
  std::unordered_map<const char*, std::string> prepared_;
};

}  // namespace

std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   BackendStore::Open open) {
  return std::make_unique<PostgresEngine>(uri, open);
}

}  // namespace quillet::standins
