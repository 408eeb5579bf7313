// The SQLite engine's master data, items, request keys and batch runs
// (sqlite_engine.h).
#include <ctime>

#include "sqlite_engine.h"
#include "sqlite_listing_sql.h"

namespace quillet::standins::sqlite {

bool SqliteEngine::BusinessPartnerExists(const std::string& number) {
  Statement s(*use_, "SELECT 1 FROM business_partners WHERE number = ?1");
  s.Bind(1, number);
  return s.Step();
}

std::optional<ServiceObjectFacts> SqliteEngine::ServiceObject(
    const std::string& object) {
  Statement s(*use_,
              "SELECT contract, warranty, warranty_description, "
              "warranty_expiry_date FROM service_objects WHERE object = ?1");
  s.Bind(1, object);
  if (!s.Step()) return std::nullopt;
  return ServiceObjectFacts{s.Text(0), s.Text(1), s.Text(2), s.Text(3)};
}

int64_t SqliteEngine::EngineerMinutes(const std::string& question) {
  Statement s(*use_,
              "SELECT minutes FROM engineer_time WHERE question_id = ?1");
  s.Bind(1, question);
  return s.Step() ? s.Int(0) : 0;
}

std::vector<std::vector<std::string>> SqliteEngine::MasterPage(
    MasterTable table, const std::string& after, int64_t limit) {
  Statement s(*use_, MasterPageSql(table));
  s.Bind(1, after).Bind(2, limit);
  std::vector<std::vector<std::string>> out;
  while (s.Step()) out.push_back(Row(s, MasterWidth(table)));
  return out;
}

std::optional<std::vector<std::string>> SqliteEngine::MasterRowOf(
    MasterTable table, const std::string& key) {
  Statement s(*use_, MasterRowSql(table));
  s.Bind(1, key);
  if (!s.Step()) return std::nullopt;
  return Row(s, MasterWidth(table));
}

std::vector<std::string> SqliteEngine::Row(Statement& s, int width) {
  std::vector<std::string> row;
  for (int i = 0; i < width; ++i) row.push_back(s.Text(i));
  return row;
}

void SqliteEngine::PutMasterRow(MasterTable table,
                                const std::vector<MasterValue>& values) {
  Statement s(*use_, MasterSql(table));
  for (size_t i = 0; i < values.size(); ++i) {
    int column = static_cast<int>(i + 1);
    if (values[i].number)
      s.Bind(column, *values[i].number);
    else
      s.Bind(column, values[i].text);
  }
  s.Run();
}

std::optional<std::string> SqliteEngine::ItemComponent(
    const std::string& serial) {
  Statement s(*use_, "SELECT component FROM items WHERE serial = ?1");
  s.Bind(1, serial);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

void SqliteEngine::InsertItem(const std::string& serial,
                              const std::string& component) {
  Statement s(*use_, "INSERT INTO items(serial, component) VALUES(?1, ?2)");
  s.Bind(1, serial).Bind(2, component).Run();
}

void SqliteEngine::TouchItem(const std::string& serial,
                             const std::string& component) {
  Statement s(*use_,
              "UPDATE items SET component = ?2, changed_at = "
              "strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE serial = ?1");
  s.Bind(1, serial).Bind(2, component).Run();
}

void SqliteEngine::PutItemFields(
    const std::string& serial,
    const std::vector<std::pair<std::string, std::string>>& fields) {
  Statement next(*use_,
                 "SELECT coalesce(max(position), 0) FROM item_fields WHERE "
                 "serial = ?1");
  next.Bind(1, serial);
  next.Step();
  int64_t position = next.Int(0);
  Statement put(*use_,
                "INSERT INTO item_fields(serial, position, name, value) "
                "VALUES(?1, ?2, ?3, ?4) ON CONFLICT(serial, name) DO UPDATE "
                "SET value = excluded.value");
  for (const auto& [name, value] : fields)
    put.Bind(1, serial).Bind(2, ++position).Bind(3, name).Bind(4, value).Run();
}

std::vector<std::pair<std::string, std::string>> SqliteEngine::ItemFields(
    const std::string& serial) {
  Statement s(*use_,
              "SELECT name, value FROM item_fields WHERE serial = ?1 ORDER "
              "BY position");
  s.Bind(1, serial);
  std::vector<std::pair<std::string, std::string>> out;
  while (s.Step()) out.emplace_back(s.Text(0), s.Text(1));
  return out;
}

std::vector<std::string> SqliteEngine::ItemPage(
    const std::optional<std::string>& after, int64_t limit) {
  Statement s(*use_,
              "SELECT serial FROM items WHERE ?1 IS NULL OR serial > ?1 "
              "ORDER BY serial LIMIT ?2");
  s.Bind(1, after).Bind(2, limit);
  std::vector<std::string> out;
  while (s.Step()) out.push_back(s.Text(0));
  return out;
}

std::optional<KeyRecord> SqliteEngine::FindKey(const std::string& key) {
  int64_t now = Now();
  bool expired = false;
  std::optional<KeyRecord> found;
  {
    Statement s(*use_,
                "SELECT kind, digest, answer, expires_at <= ?2 FROM "
                "request_keys WHERE key = ?1");
    s.Bind(1, key).Bind(2, now);
    if (!s.Step()) return std::nullopt;
    expired = s.Int(3) != 0;
    if (!expired)
      found = KeyRecord{RequestKindSpelled(s.Text(0)), s.Text(1), s.Text(2)};
  }
  if (expired) {
    Statement s(*use_, "DELETE FROM request_keys WHERE key = ?1");
    s.Bind(1, key).Run();
  }
  return found;
}

std::optional<KeyRecord> SqliteEngine::LiveKey(const std::string& key) {
  Statement s(*use_,
              "SELECT kind, digest, answer FROM request_keys WHERE key = ?1 "
              "AND expires_at > ?2");
  s.Bind(1, key).Bind(2, Now());
  if (!s.Step()) return std::nullopt;
  return KeyRecord{RequestKindSpelled(s.Text(0)), s.Text(1), s.Text(2)};
}

void SqliteEngine::InsertKey(const std::string& key, const KeyRecord& record,
                             int64_t lifetime_seconds) {
  int64_t now = Now();
  // Its id: its expiry, and after the keys that expire in the same
  // second (sqlite_schema.cc).
  Statement s(*use_,
              "INSERT INTO request_keys(id, key, kind, digest, answer, "
              "created_at, expires_at) VALUES((SELECT coalesce(max(id) + 1, "
              "?6 * 1048576) FROM request_keys WHERE id >= ?6 * 1048576 AND "
              "id < (?6 + 1) * 1048576), ?1, ?2, ?3, ?4, ?5, ?6)");
  s.Bind(1, key)
      .Bind(2, std::string(Spelling(record.kind)))
      .Bind(3, record.digest);
  // Bounded, so that the id stays a whole number of 64 bits.
  int64_t expires = now + std::clamp<int64_t>(lifetime_seconds, 0, 1LL << 40);
  s.Bind(4, record.answer).Bind(5, now).Bind(6, expires);
  s.Run();
}

std::optional<BatchRun> SqliteEngine::StandingBatchRun(
    const std::string& file_name, const std::string& identity) {
  Statement s(*use_,
              "SELECT identity, lines, lines_done, state FROM batch_runs "
              "WHERE file_name = ?1 AND state IN (0, 1) AND identity <> ?2 "
              "ORDER BY updated_at DESC LIMIT 1");
  s.Bind(1, file_name).Bind(2, identity);
  if (!s.Step()) return std::nullopt;
  return BatchRun{s.Text(0), file_name, s.Int(1), s.Int(2), s.Int(3) == 1};
}

void SqliteEngine::PutBatchRun(const BatchRun& run, int64_t now) {
  Statement s(*use_,
              "INSERT INTO batch_runs(identity, file_name, lines, "
              "lines_done, state, updated_at) VALUES(?1, ?2, ?3, ?4, ?5, "
              "?6) ON CONFLICT(identity) DO UPDATE SET file_name = "
              "excluded.file_name, lines = excluded.lines, lines_done = "
              "max(lines_done, excluded.lines_done), state = "
              "excluded.state, updated_at = excluded.updated_at");
  s.Bind(1, run.identity).Bind(2, run.file_name).Bind(3, run.lines);
  s.Bind(4, run.lines_done).Bind(5, int64_t{run.finished ? 1 : 0});
  s.Bind(6, now).Run();
}

void SqliteEngine::SetAsideBatchRuns(const std::string& file_name,
                                     const std::string& identity) {
  Statement s(*use_,
              "UPDATE batch_runs SET state = 2 WHERE file_name = ?1 AND "
              "state IN (0, 1) AND identity <> ?2");
  s.Bind(1, file_name).Bind(2, identity).Run();
}

void SqliteEngine::PruneKeys(int limit) {
  // In id order, which is expiry order (a key an earlier Quillet wrote is
  // moved to its place as it is written: sqlite_schema.cc); the expiry
  // itself is checked too, for a key whose id is clamped.
  int64_t now = Now();
  {
    // Most writes find none expired: asked first, as the DELETE's own
    // condition, that costs a tenth of the DELETE, which builds its list
    // of ids even when there are none.
    Statement any(*use_,
                  "SELECT 1 FROM request_keys WHERE id < (?1 + 1) * 1048576 "
                  "AND expires_at <= ?1 LIMIT 1");
    any.Bind(1, now);
    if (!any.Step()) return;
  }
  Statement s(*use_,
              "DELETE FROM request_keys WHERE id IN (SELECT id FROM "
              "request_keys WHERE id < (?1 + 1) * 1048576 AND expires_at <= "
              "?1 ORDER BY id LIMIT ?2)");
  s.Bind(1, now).Bind(2, int64_t{limit}).Run();
}

void SqliteEngine::PruneKeysCreatedBefore(int64_t created_before, int limit) {
  Statement s(*use_,
              "DELETE FROM request_keys WHERE key IN (SELECT key FROM "
              "request_keys WHERE created_at < ?1 ORDER BY created_at "
              "LIMIT ?2)");
  s.Bind(1, created_before).Bind(2, int64_t{limit}).Run();
}

std::vector<KeyListing> SqliteEngine::KeyPage(
    const std::optional<std::string>& after, int64_t limit) {
  Statement s(*use_,
              "SELECT key, kind, created_at FROM request_keys WHERE ?1 IS "
              "NULL OR key > ?1 ORDER BY key LIMIT ?2");
  if (after) s.Bind(1, *after);
  s.Bind(2, limit);
  std::vector<KeyListing> out;
  while (s.Step()) out.push_back({s.Text(0), s.Text(1), s.Int(2)});
  return out;
}

StoreFacts SqliteEngine::Facts() {
  Statement s(*use_,
              "SELECT (SELECT count(*) FROM calls), (SELECT count(*) FROM "
              "items), (SELECT count(*) FROM request_keys), (SELECT "
              "min(created_at) FROM request_keys)");
  s.Step();
  StoreFacts facts;
  facts.calls = s.Int(0);
  facts.items = s.Int(1);
  facts.request_keys = s.Int(2);
  if (facts.request_keys > 0) facts.oldest_key = s.Int(3);
  return facts;
}

}  // namespace quillet::standins::sqlite
