// The PostgreSQL engine's queries: one libpq connection per BackendStore
// (postgres_connection.h), to a database that any number of hosts share,
// directly or through a pooler in transaction mode; its schema is
// postgres_schema.h's.
//
// - Call numbers come from an identity column: unique across hosts, never
//   reused.
// - A change locks its call's row (SELECT ... FOR UPDATE), so changes of
//   one call are serialised.
// - Texts that users give are stored as bytes (BYTEA), exactly as given,
//   whatever they hold.
#include <algorithm>
#include <utility>

#include "backend_failure.h"
#include "postgres_call_row.h"
#include "postgres_connection.h"
#include "postgres_schema.h"
#include "postgres_server_state.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

// Writers take call numbers under the advisory lock 1364937813 (shared),
// which SettledSeq takes alone.

// The server's clock in Unix seconds: the time every host agrees on.
#define QUILLET_PG_NOW "extract(epoch FROM now())::bigint"

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

// A call's row is answered as one message, which the server builds in at
// most 1 GiB of memory: its properties and texts together are kept below
// that, with room to spare for the message's own bytes, so that whatever
// is stored can be read back. A write past it is refused.
constexpr size_t kReadableCall = 1'000'000'000;

void CheckReadable(size_t bytes) {
  if (bytes > kReadableCall)
    RaiseBackend("the call's texts would take " + std::to_string(bytes) +
                 " bytes together, more than the " +
                 std::to_string(kReadableCall) +
                 " a call can hold on PostgreSQL and still be read back; "
                 "nothing was written");
}

// The listing's filters, one text for both orders so that they cannot
// drift apart: $2 changed since, $3 status (none is 0), $4 sold-to
// partner, $6 text in the description. Each statement is planned with its
// values, so a filter left out costs nothing and one given meets its index
// (postgres_schema.cc); the text is asked as a LIKE of the description's
// escaped form, which its trigram index answers, then checked as bytes.
// The backslashes are written E'...', which reads the same whether or not
// the database keeps standard_conforming_strings on.
#define CALL_FILTERS                                                      \
  "AND ($2::bigint IS NULL OR last_transaction_time >= $2::bigint) "      \
  "AND ($3::bigint IS NULL OR coalesce(status, 0) = $3::bigint) "         \
  "AND ($4::bytea IS NULL OR sold_to = $4::bytea) "                       \
  "AND ($6::bytea IS NULL OR (encode(description, 'escape') LIKE '%' || " \
  "replace(replace(replace(encode($6::bytea, 'escape'), E'\\\\', "        \
  "E'\\\\\\\\'), '%', E'\\\\%'), '_', E'\\\\_') || '%' AND "              \
  "position($6::bytea in description) > 0)) "

class PostgresEngine final : public StorageEngine {
 public:
  PostgresEngine(const std::string& uri, OpenMode open)
      : db_(uri,
            [open](PgConnection& db) { PreparePostgresSchema(db, open); }) {}

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    db_.WriteTransaction(
        [&] {
          ahead_ = Answers();
          locked_.reset();
          work();
        },
        ending == Ending::kCommit);
  }
  void ReadTransaction(const std::function<void()>& work) override {
    db_.ReadTransaction([&] {
      ahead_ = Answers();
      work();
    });
  }

  // Asks everything expected in one round trip, with the transaction's
  // BEGIN when nothing was sent yet; the calls then answer from here.
  void Expect(const ReadAhead& ahead) override {
    ahead_ = Answers();
    if (ahead.key)
      db_.Ask(kFindKeySql, {Bytes(*ahead.key)}, [this](const PgResult& r) {
        ahead_.key = r.Rows() ? std::optional(KeyAnswer(r)) : std::nullopt;
        ahead_.key_asked = true;
      });
    if (ahead.partner)
      db_.Ask(kPartnerSql, {Bytes(*ahead.partner)},
              [this, partner = *ahead.partner](const PgResult& r) {
                ahead_.partner = {partner, r.Rows() > 0};
              });
    if (ahead.object)
      db_.Ask(kServiceObjectSql, {Bytes(*ahead.object)},
              [this, object = *ahead.object](const PgResult& r) {
                ahead_.object = {object, FactsOf(r)};
              });
    if (ahead.new_call_seq)
      db_.Ask(
          "WITH numbering AS (SELECT pg_advisory_xact_lock_shared(1364937813)) "
          "SELECT nextval(pg_get_serial_sequence('calls', 'seq')) FROM "
          "numbering WHERE $1::bytea IS NULL OR NOT EXISTS(SELECT 1 FROM "
          "request_keys WHERE key = $1::bytea AND expires_at > " QUILLET_PG_NOW
          ")",
          {Maybe(ahead.key)}, [this](const PgResult& r) {
            if (r.Rows()) ahead_.seq = r.Int(0, 0);
          });
    if (ahead.call_for_update)
      db_.Ask(kCallForUpdateSql, {Int(*ahead.call_for_update)},
              [this, seq = *ahead.call_for_update](const PgResult& r) {
                ahead_.call = {seq, Locked(seq, r)};
              });
    db_.Flush();
  }

  void CheckWritable() override {
    // Refused before any row is touched on a read-only database or
    // standby, and for a role that may not write.
    WriteTransaction(
        [&] {
          db_.Run("UPDATE quillet_meta SET value = value WHERE false", {});
        },
        Ending::kRollBack);
  }

  // A number is taken only under the numbering lock, shared among writers
  // and held to the end of the transaction; SettledSeq takes it alone, so
  // it finds no number taken and not yet committed or rolled back.
  int64_t NewCallSeq() override {
    if (std::optional<int64_t> seq = std::exchange(ahead_.seq, std::nullopt))
      return *seq;
    return db_
        .Run(
            "WITH numbering AS (SELECT pg_advisory_xact_lock_shared("
            "1364937813)) SELECT nextval(pg_get_serial_sequence('calls', "
            "'seq')) FROM numbering",
            {})
        .Int(0, 0);
  }
  int64_t SettledSeq() override {
    int64_t seq = 0;
    ReadTransaction([&] {
      db_.Run("SELECT pg_advisory_xact_lock(1364937813)", {});
      // Once the lock is had, no number is taken and unsettled; the highest
      // call this snapshot (taken before the wait) saw is therefore a safe
      // bound, and needs no right to read the sequence.
      seq = db_.Run("SELECT coalesce(max(seq), 0) FROM calls", {}).Int(0, 0);
    });
    return seq;
  }
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override {
    std::vector<PgParam> params = RowParams(row, true);
    params.push_back(Int(seq));
    params.push_back(Bytes(component));
    params.push_back(Int(time));
    CheckReadable(params[0].bytes.size() + params[4].bytes.size() +
                  params[5].bytes.size());
    db_.Defer(
        "INSERT INTO calls(properties, status, sold_to, description, text, "
        "solution_text, seq, component, last_transaction_time) OVERRIDING "
        "SYSTEM VALUE VALUES($1, $2::bigint, $3, $4, $5, $6, $7::bigint, $8, "
        "$9::bigint)",
        std::move(params));
  }
  // For a change, the properties alone: RewriteCall changes the texts
  // without them.
  std::optional<CallRow> ReadCall(int64_t seq, bool for_update) override {
    if (for_update && ahead_.call && ahead_.call->first == seq)
      return std::exchange(ahead_.call, std::nullopt)->second;
    if (for_update) return Locked(seq, db_.Run(kCallForUpdateSql, {Int(seq)}));
    return RowOf(
        db_.Run("SELECT properties, text, solution_text FROM calls WHERE seq = "
                "$1::bigint",
                {Int(seq)}));
  }
  // One statement. A text that grew by appending gets only its new pieces,
  // which SQL appends to what is stored without reading it; a text left as
  // it was is not sent.
  // One statement. The texts, left out of the locking read, are changed as
  // `texts` says: an append sends only its new pieces, which the server
  // adds to what is stored; a text the change leaves is not sent.
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges& texts) override {
    std::vector<PgParam> params = RowParams(after, false);
    params.push_back(Int(seq));
    params.push_back(Int(time));
    for (const std::optional<TextChange>* text :
         {&texts.text, &texts.solution_text}) {
      // How the text changes: k(ept), a(ppended) or r(eplaced).
      bool append = *text && (*text)->append;
      if (!*text || (append && (*text)->pieces->empty())) {
        params.push_back(Bytes("k"));
        params.push_back(PgParam{"", false, true});
      } else {
        params.push_back(Bytes(append ? "a" : "r"));
        params.push_back(Pieces(*(*text)->pieces, 0));
      }
    }
    // What the texts will take, from their sizes when the row was locked.
    if (locked_ && locked_->seq == seq) {
      size_t bytes = params[0].bytes.size();
      for (auto [mode, stored] : {std::pair{size_t{6}, locked_->text},
                                  std::pair{size_t{8}, locked_->solution_text}})
        bytes += params[mode].bytes == "k" ? stored
                 : params[mode].bytes == "a"
                     ? stored + params[mode + 1].bytes.size()
                     : params[mode + 1].bytes.size();
      CheckReadable(bytes);
    }
    db_.Defer(
        "UPDATE calls SET properties = $1, status = $2::bigint, sold_to = $3, "
        "description = $4, last_transaction_time = $6::bigint, text = CASE "
        "$7::text WHEN 'k' THEN text WHEN 'a' THEN coalesce(text, ''::bytea) "
        "|| $8::bytea ELSE $8::bytea END, solution_text = CASE $9::text WHEN "
        "'k' THEN solution_text WHEN 'a' THEN coalesce(solution_text, "
        "''::bytea) || $10::bytea ELSE $10::bytea END WHERE seq = $5::bigint",
        std::move(params));
  }
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override {
    std::optional<int64_t> status;
    if (query.status) status = *query.status;
    // A text or "changed since" reads the calls its index finds and sorts
    // them: the planner would otherwise walk the calls in order, hoping to
    // meet a page of matches soon (they may all be at the end).
    bool by_index = query.text || query.changed_since;
    PgResult r = db_.Run(
        by_index ? "SELECT seq FROM calls WHERE seq > $1::bigint " CALL_FILTERS
                   "ORDER BY seq + 0 LIMIT $5::bigint"
                 : "SELECT seq FROM calls WHERE seq > $1::bigint " CALL_FILTERS
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
    std::optional<int64_t> status;
    if (query.status) status = *query.status;
    std::optional<int64_t> time, seq;
    if (before) std::tie(seq, time) = *before;
    // A text reads the calls its index finds and sorts them (CallPage).
    PgResult r = db_.Run(
        query.text
            ? "SELECT seq, last_transaction_time FROM calls WHERE ($1::bigint "
              "IS NULL OR (last_transaction_time, seq) < ($1::bigint, "
              "$7::bigint)) " CALL_FILTERS
              "ORDER BY last_transaction_time + 0 DESC, seq DESC LIMIT "
              "$5::bigint"
            : "SELECT seq, last_transaction_time FROM calls WHERE ($1::bigint "
              "IS NULL OR (last_transaction_time, seq) < ($1::bigint, "
              "$7::bigint)) " CALL_FILTERS
              "ORDER BY last_transaction_time DESC, seq DESC LIMIT $5::bigint",
        {Maybe(time), Maybe(query.changed_since), Maybe(status),
         Maybe(query.sold_to), Int(limit), Maybe(query.text), Maybe(seq)});
    std::vector<std::pair<int64_t, int64_t>> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.emplace_back(r.Int(i, 0), r.Int(i, 1));
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    if (ahead_.partner && ahead_.partner->first == number)
      return ahead_.partner->second;
    return db_.Run(kPartnerSql, {Bytes(number)}).Rows() > 0;
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    if (ahead_.object && ahead_.object->first == object)
      return ahead_.object->second;
    return FactsOf(db_.Run(kServiceObjectSql, {Bytes(object)}));
  }
  int64_t EngineerMinutes(const std::string& question) override {
    PgResult r =
        db_.Run("SELECT minutes FROM engineer_time WHERE question_id = $1",
                {Bytes(question)});
    return r.Rows() ? r.Int(0, 0) : 0;
  }
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override {
    return Rows(db_.Run(MasterPageSql(table), {Bytes(after), Int(limit)}));
  }
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override {
    std::vector<std::vector<std::string>> rows =
        Rows(db_.Run(MasterRowSql(table), {Bytes(key)}));
    if (rows.empty()) return std::nullopt;
    return rows.front();
  }
  static std::vector<std::vector<std::string>> Rows(const PgResult& r) {
    std::vector<std::vector<std::string>> out(static_cast<size_t>(r.Rows()));
    for (int i = 0; i < r.Rows(); ++i)
      for (int col = 0; col < r.Columns(); ++col)
        out[static_cast<size_t>(i)].push_back(r.Text(i, col));
    return out;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
    std::vector<PgParam> params;
    for (const MasterValue& v : values)
      params.push_back(v.number ? Int(*v.number) : Bytes(v.text));
    db_.Run(MasterSql(table), params);
  }

  std::optional<std::string> ItemComponent(const std::string& serial) override {
    PgResult r = db_.Run("SELECT component FROM items WHERE serial = $1",
                         {Bytes(serial)});
    if (r.Rows() == 0) return std::nullopt;
    return r.Text(0, 0);
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    db_.Run("INSERT INTO items(serial, component) VALUES($1, $2)",
            {Bytes(serial), Bytes(component)});
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    db_.Run(
        "UPDATE items SET component = $2, changed_at = now() WHERE serial = "
        "$1",
        {Bytes(serial), Bytes(component)});
  }
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override {
    // The item's row is locked first, so that concurrent changes of one
    // item number their fields one after the other.
    db_.Run("SELECT 1 FROM items WHERE serial = $1 FOR UPDATE",
            {Bytes(serial)});
    PgResult next = db_.Run(
        "SELECT coalesce(max(position), 0) FROM item_fields WHERE serial = $1",
        {Bytes(serial)});
    int64_t position = next.Int(0, 0);
    for (const auto& [name, value] : fields)
      db_.Run(
          "INSERT INTO item_fields(serial, position, name, value) VALUES($1, "
          "$2::bigint, $3, $4) ON CONFLICT(serial, name) DO UPDATE SET value "
          "= excluded.value",
          {Bytes(serial), Int(++position), Bytes(name), Bytes(value)});
  }
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override {
    PgResult r = db_.Run(
        "SELECT name, value FROM item_fields WHERE serial = $1 "
        "ORDER BY position",
        {Bytes(serial)});
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.emplace_back(r.Text(i, 0), r.Text(i, 1));
    return out;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    PgResult r = db_.Run(
        "SELECT serial FROM items WHERE $1::bytea IS NULL OR "
        "serial > $1::bytea ORDER BY serial LIMIT $2::bigint",
        {Maybe(after), Int(limit)});
    std::vector<std::string> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Text(i, 0));
    return out;
  }

  // Key times come from the server's clock, which every host shares.
  std::optional<KeyRecord> FindKey(const std::string& key) override {
    std::optional<std::pair<KeyRecord, bool>> found;
    if (ahead_.key_asked) {
      found = std::exchange(ahead_.key, std::nullopt);
      ahead_.key_asked = false;
    } else {
      PgResult r = db_.Run(kFindKeySql, {Bytes(key)});
      if (r.Rows()) found = KeyAnswer(r);
    }
    if (!found) return std::nullopt;
    if (found->second) {
      // Expired: the key is new again. A host that wrote it anew meanwhile
      // makes the insert that follows a conflict, and the retry finds it.
      db_.Defer(
          "DELETE FROM request_keys WHERE key = $1 AND expires_at "
          "<= " QUILLET_PG_NOW,
          {Bytes(key)});
      return std::nullopt;
    }
    return found->first;
  }
  std::optional<KeyRecord> LiveKey(const std::string& key) override {
    PgResult r = db_.Run(kFindKeySql, {Bytes(key)});
    if (!r.Rows()) return std::nullopt;
    auto [record, expired] = KeyAnswer(r);
    if (expired) return std::nullopt;
    return record;
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override {
    // A key another host stored meanwhile is a conflict: the transaction
    // runs again and then finds it.
    db_.Defer(
        "INSERT INTO request_keys(key, kind, digest, answer, created_at, "
        "expires_at) VALUES($1, $2, $3, $4, " QUILLET_PG_NOW ", " QUILLET_PG_NOW
        " + $5::bigint)",
        {Bytes(key), Bytes(std::string(Spelling(record.kind))),
         Bytes(record.digest), Bytes(record.answer), Int(lifetime_seconds)});
  }
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override {
    PgResult r = db_.Run(
        "SELECT identity, lines, lines_done, state FROM batch_runs WHERE "
        "file_name = $1 AND state IN (0, 1) AND identity <> $2 ORDER BY "
        "updated_at DESC LIMIT 1",
        {Bytes(file_name), Bytes(identity)});
    if (r.Rows() == 0) return std::nullopt;
    return BatchRun{r.Text(0, 0), file_name, r.Int(0, 1), r.Int(0, 2),
                    r.Int(0, 3) == 1};
  }
  void PutBatchRun(const BatchRun& run, int64_t now) override {
    db_.Run(
        "INSERT INTO batch_runs(identity, file_name, lines, lines_done, "
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
    db_.Run(
        "UPDATE batch_runs SET state = 2 WHERE file_name = $1 AND state IN "
        "(0, 1) "
        "AND identity <> $2",
        {Bytes(file_name), Bytes(identity)});
  }
  void PruneKeys(int limit) override {
    db_.Defer(
        "DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
        "WHERE expires_at <= " QUILLET_PG_NOW
        " ORDER BY expires_at LIMIT $1::bigint FOR UPDATE SKIP LOCKED)",
        {Int(limit)});
  }
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override {
    db_.Run(
        "DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
        "WHERE created_at < $1::bigint ORDER BY created_at LIMIT $2::bigint "
        "FOR UPDATE SKIP LOCKED)",
        {Int(created_before), Int(limit)});
  }
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override {
    PgResult r = db_.Run(
        "SELECT key, kind, created_at FROM request_keys WHERE $1::bytea "
        "IS NULL OR key > $1::bytea ORDER BY key LIMIT $2::bigint",
        {Maybe(after), Int(limit)});
    std::vector<KeyListing> out;
    for (int i = 0; i < r.Rows(); ++i)
      out.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
    return out;
  }

  StoreFacts Facts() override {
    PgResult r = db_.Run(
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

  std::optional<ServerState> Server() override { return ReadServerState(db_); }

 private:
  // What Expect asked, for the calls that follow in the same transaction.
  struct Answers {
    bool key_asked = false;
    std::optional<std::pair<KeyRecord, bool>> key;  // and whether expired
    std::optional<std::pair<std::string, bool>> partner;
    std::optional<std::pair<std::string, std::optional<ServiceObjectFacts>>>
        object;
    std::optional<int64_t> seq;
    std::optional<std::pair<int64_t, std::optional<CallRow>>> call;
  };
  static constexpr const char* kFindKeySql =
      "SELECT kind, digest, answer, expires_at <= " QUILLET_PG_NOW
      " FROM request_keys WHERE key = $1";
  static constexpr const char* kPartnerSql =
      "SELECT 1 FROM business_partners WHERE number = $1";
  static constexpr const char* kServiceObjectSql =
      "SELECT contract, warranty, warranty_description, warranty_expiry_date "
      "FROM service_objects WHERE object = $1";
  static constexpr const char* kCallForUpdateSql =
      "SELECT properties, NULL::bytea, NULL::bytea, "
      "coalesce(octet_length(text), 0), coalesce(octet_length(solution_text), "
      "0) FROM calls WHERE seq = $1::bigint FOR UPDATE";

  static std::pair<KeyRecord, bool> KeyAnswer(const PgResult& r) {
    return {
        KeyRecord{RequestKindSpelled(r.Text(0, 0)), r.Text(0, 1), r.Text(0, 2)},
        r.Text(0, 3) == "t"};
  }
  static std::optional<ServiceObjectFacts> FactsOf(const PgResult& r) {
    if (r.Rows() == 0) return std::nullopt;
    return ServiceObjectFacts{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2),
                              r.Text(0, 3)};
  }
  static std::optional<CallRow> RowOf(const PgResult& r) {
    if (r.Rows() == 0) return std::nullopt;
    CallRow row;
    row.properties = UnframeProperties(r.Text(0, 0));
    if (!r.IsNull(0, 1)) row.text = UnframePieces(r.Text(0, 1));
    if (!r.IsNull(0, 2)) row.solution_text = UnframePieces(r.Text(0, 2));
    return row;
  }

  // `pieces[from...]` as frames; no pieces at all is NULL.
  static PgParam Pieces(const std::vector<std::string>& pieces, size_t from) {
    if (pieces.empty()) return PgParam{"", false, true};
    return Bytes(FramePieces(pieces, from));
  }
  // A call's row as parameters $1 to $4: its properties and the columns
  // that listings filter on (status, sold-to partner, description); then,
  // with `texts`, its texts as $5 and $6.
  static std::vector<PgParam> RowParams(const CallRow& row, bool texts) {
    auto prop = [&](const char* name) -> const StoredValue* {
      auto it = row.properties.find(name);
      return it == row.properties.end() ? nullptr : &it->second;
    };
    auto text = [](const StoredValue* v) {
      return v && v->type == VarType::String ? Bytes(v->text)
                                             : PgParam{"", false, true};
    };
    const StoredValue* status = prop("Status");
    std::vector<PgParam> params = {
        Bytes(FrameProperties(row.properties)),
        status && status->type != VarType::String ? Int(status->number)
                                                  : PgParam{"", false, true},
        text(prop("SoldToBusinessPartner")), text(prop("CallDescription"))};
    if (texts) {
      params.push_back(Pieces(row.text, 0));
      params.push_back(Pieces(row.solution_text, 0));
    }
    return params;
  }

  // A call's row as kCallForUpdateSql answers it, its texts' sizes kept
  // for RewriteCall.
  std::optional<CallRow> Locked(int64_t seq, const PgResult& r) {
    locked_.reset();
    if (r.Rows())
      locked_ = {seq, static_cast<size_t>(r.Int(0, 3)),
                 static_cast<size_t>(r.Int(0, 4))};
    return RowOf(r);
  }

  PgConnection db_;
  Answers ahead_;
  // The sizes of the texts of the call last locked in this transaction.
  struct LockedSizes {
    int64_t seq;
    size_t text, solution_text;
  };
  std::optional<LockedSizes> locked_;
};

}  // namespace

std::unique_ptr<StorageEngine> OpenPostgresStorage(const std::string& uri,
                                                   OpenMode open) {
  return std::make_unique<PostgresEngine>(uri, open);
}

}  // namespace quillet::standins
