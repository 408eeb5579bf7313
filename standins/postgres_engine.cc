// The PostgreSQL engine: one libpq connection per BackendStore, to a
// database that any number of hosts share, directly or through a pooler in
// transaction mode.
//
// - Call numbers come from an identity column: unique across hosts, never
//   reused.
// - Write transactions run at READ COMMITTED; a change locks its call's row
//   (SELECT ... FOR UPDATE), so changes of one call are serialised. A
//   transaction that meets a concurrent one (a deadlock, a serialisation
//   failure, a key or item another host stored first) is rolled back and
//   run again, at most kAttempts times, and then fails with a clear error.
// - Reads outside a write (a call, a listing page) run in one REPEATABLE
//   READ, READ ONLY transaction: one snapshot, never half of a change.
// - Waits are bounded: a session whose lock_timeout or statement_timeout is
//   unset (0) gets kLockTimeout / kStatementTimeout for each transaction;
//   an operator's own settings (ALTER ROLE ... SET, PGOPTIONS, the URI's
//   options) are kept. A wait that runs out fails as busy: nothing written,
//   try again.
// - A connection lost before COMMIT was sent wrote nothing: the work runs
//   again on a new connection, waiting with backoff up to the reconnect
//   window while the server is away. A connection lost after COMMIT was
//   sent leaves the outcome open: the transaction's id, taken inside it, is
//   looked up (txid_status) on a new connection, and the answer is what
//   really happened; when that cannot be found out the failure says the
//   outcome is unknown.
// - Texts that users give are stored as bytes (BYTEA), exactly as given,
//   whatever they hold; values are only ever bound, through the unnamed
//   statement (no named statement outlives a transaction, as a
//   transaction-mode pooler requires).
// - Messages are one line in words; no SQL text and no password reaches
//   them.
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "backend_failure.h"
#include "postgres_uri.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAttempts = 8;
constexpr int64_t kBytea = 17;  // the type OID of BYTEA
// The bounds a session without its own settings gets (see the top).
constexpr const char* kLockTimeout = "5s";
constexpr const char* kStatementTimeout = "60s";
// How long a write waits for a server that is away (restarting, failing
// over) before it fails; QUILLET_PG_RECONNECT_SECONDS changes it.
constexpr int kReconnectSeconds = 15;
// The lock that makes the check for a foreign database and the creation of
// the schema one step across hosts.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(1364937812)";
// Writers take call numbers under the advisory lock 1364937813 (shared),
// which SettledSeq takes alone.

std::chrono::milliseconds ReconnectWindow() {
  const char* text = std::getenv("QUILLET_PG_RECONNECT_SECONDS");
  char* end = nullptr;
  long seconds = text ? std::strtol(text, &end, 10) : kReconnectSeconds;
  if (!text || *end || seconds < 0 || seconds > 3600)
    seconds = kReconnectSeconds;
  return std::chrono::seconds(seconds);
}

// Each transaction's first statements: bounded waits unless the session
// has its own, and for writes the transaction's id (to look it up should
// the answer to COMMIT be lost).
std::string BeginSql(bool write) {
  std::string sql =
      write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
  for (auto [name, value] : {std::pair{"lock_timeout", kLockTimeout},
                             std::pair{"statement_timeout", kStatementTimeout}})
    sql += std::string("; SELECT set_config('") + name + "', '" + value +
           "', true) WHERE current_setting('" + name + "') = '0'";
  return sql + (write ? "; SELECT txid_current()" : "; SELECT 0");
}

// Runs of batch files (schema version 4): state 0 unfinished, 1 finished,
// 2 set aside.
#define QUILLET_PG_BATCH_RUNS                            \
  "CREATE TABLE IF NOT EXISTS batch_runs("               \
  "identity BYTEA PRIMARY KEY,"                          \
  " file_name BYTEA NOT NULL, lines BIGINT NOT NULL,"    \
  " lines_done BIGINT NOT NULL, state INTEGER NOT NULL," \
  " updated_at BIGINT NOT NULL);"                        \
  "CREATE INDEX IF NOT EXISTS batch_runs_by_file"        \
  " ON batch_runs(file_name, state);"

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

// The server's clock in Unix seconds: the time every host agrees on.
#define QUILLET_PG_NOW "extract(epoch FROM now())::bigint"

// Each request key's own expiry (Unix seconds by the server's clock),
// written with it; keys stored before, and keys that a Quillet of an
// earlier schema still running writes without one, live the default
// lifetime from their creation (schema version 5).
const std::string kKeyExpiry =
    "ALTER TABLE request_keys ADD COLUMN IF NOT EXISTS expires_at BIGINT;"
    "UPDATE request_keys SET expires_at = created_at + " +
    std::to_string(kDefaultKeyRetentionSeconds) +
    " WHERE expires_at IS NULL;"
    "ALTER TABLE request_keys ALTER COLUMN expires_at SET NOT NULL;"
    "ALTER TABLE request_keys ALTER COLUMN expires_at SET DEFAULT "
    "extract(epoch FROM now())::bigint + " +
    std::to_string(kDefaultKeyRetentionSeconds) +
    ";"
    "DROP INDEX IF EXISTS request_keys_by_age;"
    "CREATE INDEX IF NOT EXISTS request_keys_by_expiry"
    " ON request_keys(expires_at);";

// Whether libpq's reason for a failed connection is a server away for a
// while (down, restarting, starting up, shutting down), worth waiting for.
bool ServerAway(const std::string& message) {
  for (const char* sign :
       {"Connection refused", "No such file or directory", "starting up",
        "shutting down", "in recovery", "server closed the connection",
        "terminating connection", "timeout expired"})
    if (message.find(sign) != std::string::npos) return true;
  return false;
}

// Raised inside a write transaction when a concurrent one got in the way;
// the transaction is run again.
struct Conflict {};
// Raised when the connection was lost before COMMIT was sent: the server
// rolled the transaction back, so it runs again on a new connection.
struct Lost {};

// One line of a server's or libpq's message: its first line, tabs and
// control characters as spaces.
std::string OneLine(const char* text) {
  std::string line = text ? text : "";
  line = line.substr(0, line.find('\n'));
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

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
  return Bytes(v.type == VarType::String ? v.text : std::to_string(v.number));
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
  PostgresEngine(const std::string& uri, OpenMode open)
      : uri_(uri), window_(ReconnectWindow()) {
    // The URI's settings, over bounds of Quillet's own that it may change:
    // a connection attempt gives up after 10 s, and a server that stops
    // answering (a network cut while a commit's answer is awaited) is
    // noticed within about 30 s instead of the system's two hours. The
    // application name is "quillet" unless the URI or PGAPPNAME names one.
    const char* const keys[] = {"connect_timeout",           "keepalives_idle",
                                "keepalives_interval",       "keepalives_count",
                                "tcp_user_timeout",          "dbname",
                                "fallback_application_name", nullptr};
    const char* const values[] = {"10",    "10",        "5",       "3",
                                  "30000", uri.c_str(), "quillet", nullptr};
    // A server that is away (restarting, starting up, a connection cut
    // while the schema is checked) is waited for with backoff, as a lost
    // connection is later; a refusal (a wrong password, no such database)
    // is said at once.
    Clock::time_point deadline = Clock::now() + window_;
    for (auto pause = std::chrono::milliseconds(20);;
         pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
      conn_ = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
      if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
        // The server's notices (and the FATAL that ends a killed session)
        // stay out of standard error: what matters reaches the caller as a
        // failure.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        try {
          PrepareSchema(open);
          return;
        } catch (...) {
          bool lost = PQstatus(conn_) != CONNECTION_OK;
          PQfinish(conn_);  // no destructor runs for a refused database
          conn_ = nullptr;
          if (!lost || Clock::now() + pause > deadline) throw;
        }
      } else {
        std::string message =
            conn_ ? OneLine(PQerrorMessage(conn_)) : "out of memory";
        PQfinish(conn_);
        conn_ = nullptr;
        bool away = ServerAway(message);
        if (!away || Clock::now() + pause > deadline)
          RaiseBackend(
              "cannot connect to PostgreSQL: " + ScrubPassword(message, uri_),
              away ? FailureKind::kRetryLater : FailureKind::kNone);
      }
      std::this_thread::sleep_for(pause);
    }
  }
  ~PostgresEngine() override { PQfinish(conn_); }

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    std::minstd_rand jitter(std::random_device{}());
    Clock::time_point deadline = Clock::now() + window_;
    for (int attempt = 1, lost = 0;; ++attempt) {
      int64_t xid = 0;
      try {
        Connected(deadline);
        xid = Begin(/*write=*/true);
        work();
        in_transaction_ = false;
      } catch (const Conflict&) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        if (attempt >= kAttempts)
          RaiseBackend("PostgreSQL: gave up after " +
                           std::to_string(kAttempts) +
                           " attempts: concurrent transactions kept "
                           "conflicting with this one; nothing was written",
                       FailureKind::kRetryLater);
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::uniform_int_distribution<int>(0, 2000 << attempt)(jitter)));
        continue;
      } catch (const Lost&) {
        in_transaction_ = false;
        if (++lost > kAttempts)
          RaiseBackend(
              "the connection to PostgreSQL was lost again and again; the "
              "operation was not completed and nothing of it was written",
              FailureKind::kRetryLater);
        continue;  // nothing was written: run it again on a new connection
      } catch (...) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        throw;
      }
      if (ending == Ending::kRollBack) {
        Discard("ROLLBACK");  // lost or not, nothing of it stays
        return;
      }
      if (Commit(xid, deadline)) return;
      // Known to have been rolled back: nothing was written; run it again.
      if (++lost > kAttempts)
        RaiseBackend(
            "the connection to PostgreSQL was lost again and again; the "
            "operation was not completed and nothing of it was written",
            FailureKind::kRetryLater);
    }
  }

  void CheckWritable() override {
    // Refused before any row is touched on a read-only database or
    // standby, and for a role that may not write.
    WriteTransaction(
        [&] { Run("UPDATE quillet_meta SET value = value WHERE false", {}); },
        Ending::kRollBack);
  }

  void ReadTransaction(const std::function<void()>& work) override {
    Clock::time_point deadline = Clock::now() + window_;
    for (int lost = 0;; ++lost) {
      try {
        Connected(deadline);
        Begin(/*write=*/false);
        work();
        in_transaction_ = false;
        // All was read: a connection lost now loses nothing (the next use
        // makes a new one).
        Discard("COMMIT");
        return;
      } catch (const Lost&) {
        in_transaction_ = false;
        if (lost >= kAttempts)
          RaiseBackend("the connection to PostgreSQL was lost again and again",
                       FailureKind::kRetryLater);
      } catch (const Conflict&) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        RaiseBackend("PostgreSQL: a read met a concurrent change; try again",
                     FailureKind::kRetryLater);
      } catch (...) {
        in_transaction_ = false;
        Discard("ROLLBACK");
        throw;
      }
    }
  }

  // A number is taken only under the numbering lock, shared among writers
  // and held to the end of the transaction; SettledSeq takes it alone, so
  // it finds no number taken and not yet committed or rolled back.
  int64_t NewCallSeq() override {
    return Run("WITH numbering AS (SELECT pg_advisory_xact_lock_shared("
               "1364937813)) SELECT nextval(pg_get_serial_sequence('calls', "
               "'seq')) FROM numbering",
               {})
        .Int(0, 0);
  }
  int64_t SettledSeq() override {
    int64_t seq = 0;
    ReadTransaction([&] {
      Run("SELECT pg_advisory_xact_lock(1364937813)", {});
      // Once the lock is had, no number is taken and unsettled; the highest
      // call this snapshot (taken before the wait) saw is therefore a safe
      // bound, and needs no right to read the sequence.
      seq = Run("SELECT coalesce(max(seq), 0) FROM calls", {}).Int(0, 0);
    });
    return seq;
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
      std::optional<VarType> type = StoredTypeNamed(props.Text(i, 1));
      if (!type)
        RaiseBackend(
            "a stored call is not readable: a property's type is unknown");
      StoredValue v{*type, "", 0};
      if (v.type == VarType::String)
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
            "AND ($3::bytea IS NULL OR coalesce((SELECT p.value FROM "
            "call_properties p WHERE p.call_number = calls.call_number AND "
            "p.name = 'Status'), '0'::bytea) = $3::bytea) "
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

  // Key times come from the server's clock, which every host shares.
  std::optional<KeyRecord> FindKey(const std::string& key) override {
    Result r = Run("SELECT kind, digest, answer, expires_at <= " QUILLET_PG_NOW
                   " FROM request_keys WHERE key = $1",
                   {Bytes(key)});
    if (r.Rows() == 0) return std::nullopt;
    if (r.Text(0, 3) == "t") {
      // Expired: the key is new again. A host that wrote it anew meanwhile
      // makes the insert that follows a conflict, and the retry finds it.
      Run("DELETE FROM request_keys WHERE key = $1 AND expires_at "
          "<= " QUILLET_PG_NOW,
          {Bytes(key)});
      return std::nullopt;
    }
    return KeyRecord{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2)};
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override {
    // A key another host stored meanwhile is a conflict: the transaction
    // runs again and then finds it.
    Run("INSERT INTO request_keys(key, kind, digest, answer, created_at, "
        "expires_at) VALUES($1, $2, $3, $4, " QUILLET_PG_NOW ", " QUILLET_PG_NOW
        " + $5::bigint)",
        {Bytes(key), Bytes(record.kind), Bytes(record.digest),
         Bytes(record.answer), Int(lifetime_seconds)});
  }
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override {
    Result r =
        Run("SELECT identity, lines, lines_done, state FROM batch_runs WHERE "
            "file_name = $1 AND state IN (0, 1) AND identity <> $2 ORDER BY "
            "updated_at DESC LIMIT 1",
            {Bytes(file_name), Bytes(identity)});
    if (r.Rows() == 0) return std::nullopt;
    return BatchRun{r.Text(0, 0), file_name, r.Int(0, 1), r.Int(0, 2),
                    r.Int(0, 3) == 1};
  }
  void PutBatchRun(const BatchRun& run, int64_t now) override {
    Run("INSERT INTO batch_runs(identity, file_name, lines, lines_done, "
        "state, updated_at) VALUES($1, $2, $3::bigint, $4::bigint, "
        "$5::integer, $6::bigint) ON CONFLICT(identity) DO UPDATE SET "
        "file_name = excluded.file_name, lines = excluded.lines, lines_done "
        "= greatest(batch_runs.lines_done, excluded.lines_done), state = "
        "excluded.state, updated_at = excluded.updated_at",
        {Bytes(run.identity), Bytes(run.file_name), Int(run.lines),
         Int(run.lines_done), Int(run.finished ? 1 : 0), Int(now)});
  }
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override {
    Run("UPDATE batch_runs SET state = 2 WHERE file_name = $1 AND state IN "
        "(0, 1) "
        "AND identity <> $2",
        {Bytes(file_name), Bytes(identity)});
  }
  void PruneKeys(int limit) override {
    Run("DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
        "WHERE expires_at <= " QUILLET_PG_NOW
        " ORDER BY expires_at LIMIT $1::bigint FOR UPDATE SKIP LOCKED)",
        {Int(limit)});
  }
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override {
    Run("DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
        "WHERE created_at < $1::bigint ORDER BY created_at LIMIT $2::bigint "
        "FOR UPDATE SKIP LOCKED)",
        {Int(created_before), Int(limit)});
  }
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override {
    Result r =
        Run("SELECT key, kind, created_at FROM request_keys WHERE $1::bytea "
            "IS NULL OR key > $1::bytea ORDER BY key LIMIT $2::bigint",
            {Maybe(after), Int(limit)});
    std::vector<KeyListing> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
    return out;
  }

  StoreFacts Facts() override {
    Result r = Run(
        "SELECT (SELECT count(*) FROM calls), (SELECT count(*) FROM items), "
        "(SELECT count(*) FROM request_keys), (SELECT coalesce(min("
        "created_at), 0) FROM request_keys)",
        {});
    StoreFacts facts;
    facts.calls = r.Int(0, 0);
    facts.items = r.Int(0, 1);
    facts.request_keys = r.Int(0, 2);
    if (facts.request_keys > 0) facts.oldest_key = r.Int(0, 3);
    return facts;
  }

 private:
  void PutProperty(const std::string& number, const std::string& name,
                   const StoredValue& value, bool is_new) {
    Run(is_new ? "INSERT INTO call_properties(call_number, name, type, value) "
                 "VALUES($1, $2, $3, $4)"
               : "INSERT INTO call_properties(call_number, name, type, value) "
                 "VALUES($1, $2, $3, $4) ON CONFLICT(call_number, name) DO "
                 "UPDATE SET type = excluded.type, value = excluded.value",
        {Bytes(number), Bytes(name), Bytes(std::string(TypeName(value.type))),
         Value(value)});
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

  // Opens the transaction (write: READ COMMITTED, answering its id; read:
  // one snapshot). A connection found lost here wrote nothing.
  int64_t Begin(bool write) {
    PGresult* r = PQexec(conn_, BeginSql(write).c_str());
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      in_transaction_ = true;  // a lost connection is Lost: nothing was sent
      Fail(r, "a transaction could not begin");
    }
    in_transaction_ = true;
    Result result(r);
    return result.Int(0, 0);
  }

  // Commits the transaction `xid`: true when it committed, false when it is
  // known to have been rolled back (nothing written). A failure to commit
  // raises; an answer lost on the way is looked up on a new connection.
  bool Commit(int64_t xid, Clock::time_point deadline) {
    PGresult* r = PQexec(conn_, "COMMIT");
    if (PQresultStatus(r) == PGRES_COMMAND_OK) {
      bool committed = std::strcmp(PQcmdStatus(r), "COMMIT") == 0;
      PQclear(r);
      if (!committed)
        RaiseBackend(
            "PostgreSQL rolled the transaction back; nothing was "
            "written");
      return true;
    }
    if (PQstatus(conn_) == CONNECTION_OK) Fail(r, "the commit failed");
    PQclear(r);
    return Resolved(xid, std::max(deadline, Clock::now() + window_));
  }

  // What became of transaction `xid`, whose answer to COMMIT was lost: asked
  // on new connections until `deadline`.
  bool Resolved(int64_t xid, Clock::time_point deadline) {
    std::string why = "the server could not be reached again";
    for (auto pause = std::chrono::milliseconds(20);;
         pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
      PQreset(conn_);
      if (PQstatus(conn_) == CONNECTION_OK) {
        std::string id = std::to_string(xid);
        const char* values[] = {id.c_str()};
        PGresult* r = PQexecParams(conn_, "SELECT txid_status($1::bigint)", 1,
                                   nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) {
          std::string status = PQgetisnull(r, 0, 0) ? "" : PQgetvalue(r, 0, 0);
          PQclear(r);
          if (status == "committed") return true;
          if (status == "aborted") return false;
          why = status == "in progress"
                    ? "the transaction was still in progress on the server"
                    : "the server no longer knows the transaction";
          if (status != "in progress") break;
        } else {
          PQclear(r);
          why = "the server did not say what became of the transaction";
        }
      }
      if (Clock::now() + pause > deadline) break;
      std::this_thread::sleep_for(pause);
    }
    RaiseBackend(
        "outcome unknown: the connection to PostgreSQL was lost after the "
        "commit was sent, and " +
            why +
            "; the operation may or may not have been written (look it up, "
            "or retry under the same request key)",
        FailureKind::kOutcomeUnknown);
  }

  // A connection lost since the last operation is made anew, waiting with
  // backoff until `deadline` while the server is away.
  void Connected(Clock::time_point deadline) {
    if (PQstatus(conn_) == CONNECTION_OK) return;
    for (auto pause = std::chrono::milliseconds(20);;
         pause = std::min(pause * 2, std::chrono::milliseconds(1000))) {
      PQreset(conn_);
      if (PQstatus(conn_) == CONNECTION_OK) return;
      if (Clock::now() + pause > deadline) break;
      std::this_thread::sleep_for(pause);
    }
    RaiseBackend("cannot reconnect to PostgreSQL: " +
                     ScrubPassword(OneLine(PQerrorMessage(conn_)), uri_) +
                     "; nothing was written",
                 FailureKind::kRetryLater);
  }

  [[noreturn]] void Fail(PGresult* result, const std::string& what) {
    std::string state, message;
    if (result) {
      if (const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE))
        state = s;
      message = OneLine(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
    }
    if (message.empty()) message = OneLine(PQerrorMessage(conn_));
    message = ScrubPassword(message, uri_);
    PQclear(result);
    bool lost = PQstatus(conn_) != CONNECTION_OK || state.rfind("08", 0) == 0 ||
                state == "57P01" || state == "57P02" || state == "57P03";
    if (in_transaction_ && lost) {
      PQreset(conn_);  // whatever state it is in, it is no use now
      throw Lost{};
    }
    if (in_transaction_ &&
        (state == "40001" || state == "40P01" || state == "23505"))
      throw Conflict{};
    if (state == "55P03")
      RaiseBackend(
          "PostgreSQL: busy: another transaction held a lock longer than "
          "lock_timeout allows; nothing was written; try again",
          FailureKind::kRetryLater);
    if (state == "57014")
      RaiseBackend(
          "PostgreSQL: busy: a statement ran longer than statement_timeout "
          "allows and was cancelled; nothing was written; try again",
          FailureKind::kRetryLater);
    if (lost)
      RaiseBackend("the connection to PostgreSQL was lost (" + message +
                       "); the operation was not completed and nothing of "
                       "it was written",
                   FailureKind::kRetryLater);
    if (state == "25006")
      RaiseBackend(
          "PostgreSQL: the database is read-only; nothing was "
          "written");
    RaiseBackend("PostgreSQL: " + what + ": " + message);
  }

  // One statement through the unnamed statement: parsed, bound, run.
  Result Run(const char* sql, const std::vector<Param>& params) {
    if (!in_transaction_) Connected(Clock::now() + window_);
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
      values.push_back(p.null ? nullptr : p.bytes.data());
      lengths.push_back(static_cast<int>(p.bytes.size()));
      formats.push_back(p.binary ? 1 : 0);
    }
    PGresult* r =
        PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr,
                     values.data(), lengths.data(), formats.data(), 0);
    ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      Fail(r, "the database refused a statement");
    return Result(r);
  }

  void Exec(const char* sql, const char* what = "a statement failed") {
    PGresult* r = PQexec(conn_, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK &&
        PQresultStatus(r) != PGRES_TUPLES_OK)
      Fail(r, what);
    PQclear(r);
  }
  void Discard(const char* sql) {
    if (PQstatus(conn_) == CONNECTION_OK) PQclear(PQexec(conn_, sql));
  }

  std::string Meta(const char* name) {
    Result r =
        Run("SELECT value FROM quillet_meta WHERE name = $1", {Bytes(name)});
    return r.Rows() ? r.Text(0, 0) : std::string();
  }

  // -1: empty; else the schema version. Raises for a database that is not
  // Quillet's or is newer than this build. One statement asks whether
  // Quillet's mark and any other table exist: one snapshot.
  int64_t SchemaVersion() {
    Result found =
        Run("SELECT to_regclass('quillet_meta') IS NOT NULL, (SELECT count(*) "
            "FROM pg_tables WHERE schemaname = current_schema())",
            {});
    if (found.Text(0, 0) != "t") {
      if (found.Int(0, 1) == 0) return -1;
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

  // Hosts that start together check and create the schema under one lock:
  // the others wait, and then find it whole, never half made.
  void PrepareSchema(OpenMode open) {
    bool writing = open == OpenMode::kForWriting;
    Exec(writing ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    try {
      if (writing) Exec(kSchemaLock);
      int64_t version = SchemaVersion();
      if (version != kSchemaVersion && !writing)
        RaiseBackend(version < 0
                         ? "the PostgreSQL database is empty: nothing is "
                           "stored yet"
                         : "the PostgreSQL database was made by an earlier "
                           "Quillet; bring it up to date with 'quillet "
                           "backend migrate' first");
      if (version < 0) {
        Exec(kSchema, "cannot create Quillet's tables");
        Run("INSERT INTO quillet_meta VALUES('application', 'quillet'), "
            "('schema_version', $1)",
            {Bytes(std::to_string(kSchemaVersion))});
      }
      // kSchema is version 3's layout; versions 2 and 3 differ only in
      // the SQLite layout. 4 adds batch runs, 5 each key's expiry.
      if (version < 4) Exec(QUILLET_PG_BATCH_RUNS);
      if (version < 5) Exec(kKeyExpiry.c_str());
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

  std::string uri_;
  std::chrono::milliseconds window_;
  PGconn* conn_ = nullptr;
  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   OpenMode open) {
  return std::make_unique<PostgresEngine>(uri, open);
}

}  // namespace quillet::standins
