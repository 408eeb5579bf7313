// The PostgreSQL engine's master data, items, request keys and batch runs
// (postgres_engine.h).
#include <utility>

#include "postgres_engine.h"

namespace quillet::standins::postgres {
namespace {

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

}  // namespace

bool PostgresEngine::BusinessPartnerExists(const std::string& number) {
  if (ahead_.partner && ahead_.partner->first == number)
    return ahead_.partner->second;
  return db_.Run(kPartnerSql, {Bytes(number)}).Rows() > 0;
}

std::optional<ServiceObjectFacts> PostgresEngine::ServiceObject(
    const std::string& object) {
  if (ahead_.object && ahead_.object->first == object)
    return ahead_.object->second;
  return FactsOf(db_.Run(kServiceObjectSql, {Bytes(object)}));
}

int64_t PostgresEngine::EngineerMinutes(const std::string& question) {
  PgResult r =
      db_.Run("SELECT minutes FROM engineer_time WHERE question_id = $1",
              {Bytes(question)});
  return r.Rows() ? r.Int(0, 0) : 0;
}

std::vector<std::vector<std::string>> PostgresEngine::MasterPage(
    MasterTable table, const std::string& after, int64_t limit) {
  return Rows(db_.Run(MasterPageSql(table), {Bytes(after), Int(limit)}));
}

std::optional<std::vector<std::string>> PostgresEngine::MasterRowOf(
    MasterTable table, const std::string& key) {
  std::vector<std::vector<std::string>> rows =
      Rows(db_.Run(MasterRowSql(table), {Bytes(key)}));
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

std::vector<std::vector<std::string>> PostgresEngine::Rows(const PgResult& r) {
  std::vector<std::vector<std::string>> out(static_cast<size_t>(r.Rows()));
  for (int i = 0; i < r.Rows(); ++i)
    for (int col = 0; col < r.Columns(); ++col)
      out[static_cast<size_t>(i)].push_back(r.Text(i, col));
  return out;
}

void PostgresEngine::PutMasterRow(MasterTable table,
                                  const std::vector<MasterValue>& values) {
  std::vector<PgParam> params;
  for (const MasterValue& v : values)
    params.push_back(v.number ? Int(*v.number) : Bytes(v.text));
  db_.Run(MasterSql(table), params);
}

std::optional<std::string> PostgresEngine::ItemComponent(
    const std::string& serial) {
  PgResult r =
      db_.Run("SELECT component FROM items WHERE serial = $1", {Bytes(serial)});
  if (r.Rows() == 0) return std::nullopt;
  return r.Text(0, 0);
}

void PostgresEngine::InsertItem(const std::string& serial,
                                const std::string& component) {
  db_.Run("INSERT INTO items(serial, component) VALUES($1, $2)",
          {Bytes(serial), Bytes(component)});
}

void PostgresEngine::TouchItem(const std::string& serial,
                               const std::string& component) {
  db_.Run(
      "UPDATE items SET component = $2, changed_at = now() WHERE serial = "
      "$1",
      {Bytes(serial), Bytes(component)});
}

void PostgresEngine::PutItemFields(
    const std::string& serial,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  // The item's row is locked first, so that concurrent changes of one
  // item number their fields one after the other.
  db_.Run("SELECT 1 FROM items WHERE serial = $1 FOR UPDATE", {Bytes(serial)});
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

std::vector<std::pair<std::string, std::string>> PostgresEngine::ItemFields(
    const std::string& serial) {
  PgResult r = db_.Run(
      "SELECT name, value FROM item_fields WHERE serial = $1 "
      "ORDER BY position",
      {Bytes(serial)});
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < r.Rows(); ++i)
    out.emplace_back(r.Text(i, 0), r.Text(i, 1));
  return out;
}

std::vector<std::string> PostgresEngine::ItemPage(
    const std::optional<std::string>& after, int64_t limit) {
  PgResult r = db_.Run(
      "SELECT serial FROM items WHERE $1::bytea IS NULL OR "
      "serial > $1::bytea ORDER BY serial LIMIT $2::bigint",
      {Maybe(after), Int(limit)});
  std::vector<std::string> out;
  for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Text(i, 0));
  return out;
}

// Key times come from the server's clock, which every host shares.
std::optional<KeyRecord> PostgresEngine::FindKey(const std::string& key) {
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

std::optional<KeyRecord> PostgresEngine::LiveKey(const std::string& key) {
  PgResult r = db_.Run(kFindKeySql, {Bytes(key)});
  if (!r.Rows()) return std::nullopt;
  auto [record, expired] = KeyAnswer(r);
  if (expired) return std::nullopt;
  return record;
}

void PostgresEngine::InsertKey(const std::string& key, const KeyRecord& record,
                               int64_t lifetime_seconds) {
  // A key another host stored meanwhile is a conflict: the transaction
  // runs again and then finds it.
  db_.Defer(
      "INSERT INTO request_keys(key, kind, digest, answer, created_at, "
      "expires_at) VALUES($1, $2, $3, $4, " QUILLET_PG_NOW ", " QUILLET_PG_NOW
      " + $5::bigint)",
      {Bytes(key), Bytes(std::string(Spelling(record.kind))),
       Bytes(record.digest), Bytes(record.answer), Int(lifetime_seconds)});
}

std::pair<KeyRecord, bool> PostgresEngine::KeyAnswer(const PgResult& r) {
  return {
      KeyRecord{RequestKindSpelled(r.Text(0, 0)), r.Text(0, 1), r.Text(0, 2)},
      r.Text(0, 3) == "t"};
}

std::optional<BatchRun> PostgresEngine::StandingBatchRun(
    const std::string& file_name, const std::string& identity) {
  PgResult r = db_.Run(
      "SELECT identity, lines, lines_done, state FROM batch_runs WHERE "
      "file_name = $1 AND state IN (0, 1) AND identity <> $2 ORDER BY "
      "updated_at DESC LIMIT 1",
      {Bytes(file_name), Bytes(identity)});
  if (r.Rows() == 0) return std::nullopt;
  return BatchRun{r.Text(0, 0), file_name, r.Int(0, 1), r.Int(0, 2),
                  r.Int(0, 3) == 1};
}

void PostgresEngine::PutBatchRun(const BatchRun& run, int64_t now) {
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

void PostgresEngine::SetAsideBatchRuns(const std::string& file_name,
                                       const std::string& identity) {
  db_.Run(
      "UPDATE batch_runs SET state = 2 WHERE file_name = $1 AND state IN "
      "(0, 1) "
      "AND identity <> $2",
      {Bytes(file_name), Bytes(identity)});
}

void PostgresEngine::PruneKeys(int limit) {
  db_.Defer(
      "DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
      "WHERE expires_at <= " QUILLET_PG_NOW
      " ORDER BY expires_at LIMIT $1::bigint FOR UPDATE SKIP LOCKED)",
      {Int(limit)});
}

void PostgresEngine::PruneKeysCreatedBefore(int64_t created_before, int limit) {
  db_.Run(
      "DELETE FROM request_keys WHERE key IN (SELECT key FROM request_keys "
      "WHERE created_at < $1::bigint ORDER BY created_at LIMIT $2::bigint "
      "FOR UPDATE SKIP LOCKED)",
      {Int(created_before), Int(limit)});
}

std::vector<KeyListing> PostgresEngine::KeyPage(
    const std::optional<std::string>& after, int64_t limit) {
  PgResult r = db_.Run(
      "SELECT key, kind, created_at FROM request_keys WHERE $1::bytea "
      "IS NULL OR key > $1::bytea ORDER BY key LIMIT $2::bigint",
      {Maybe(after), Int(limit)});
  std::vector<KeyListing> out;
  for (int i = 0; i < r.Rows(); ++i)
    out.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
  return out;
}

std::optional<ServiceObjectFacts> PostgresEngine::FactsOf(const PgResult& r) {
  if (r.Rows() == 0) return std::nullopt;
  return ServiceObjectFacts{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2),
                            r.Text(0, 3)};
}

StoreFacts PostgresEngine::Facts() {
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

}  // namespace quillet::standins::postgres
