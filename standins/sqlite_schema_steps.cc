// The SQLite schema as text: the tables of a new file and each step that
// brings an older one up to date (sqlite_schema_steps.h).
#include "sqlite_schema_steps.h"

#include "quillet/standins/store_types.h"

namespace quillet::standins::sqlite_steps {
namespace {

// A call is one row: its properties as a JSON object (a text as a string, a
// number as [type, value]) and each text as a JSON array of its pieces, or
// NULL. One row per call keeps a commit to a few pages; a listing reads a
// property it filters on from there. The call number is
// spelled from the sequence number, so it needs no index of its own.
#define QUILLET_CALLS_COLUMNS                                            \
  "(seq INTEGER PRIMARY KEY,"                                            \
  " component TEXT NOT NULL,"                                            \
  " last_transaction_time INTEGER NOT NULL,"                             \
  " created_at TEXT NOT NULL DEFAULT "                                   \
  "(strftime('%Y-%m-%dT%H:%M:%fZ','now')),"                              \
  " properties TEXT NOT NULL,"                                           \
  " text TEXT,"                                                          \
  " solution_text TEXT,"                                                 \
  " call_number TEXT GENERATED ALWAYS AS ('SC' || printf('%06d', seq)) " \
  "VIRTUAL)"

// Every commit writes each page it touched to the WAL whole, and a call's
// commit touches about one: small pages keep what is written close to what
// is stored. Measured with the workload's calls (about 700 bytes each).

// Requests made under a caller's key, with the answer they were given (the
// table as schema version 2 made it; version 5 gives each key its expiry).
#define QUILLET_REQUEST_KEYS                     \
  "CREATE TABLE request_keys("                   \
  "key TEXT PRIMARY KEY, kind TEXT NOT NULL,"    \
  " digest TEXT NOT NULL, answer TEXT NOT NULL," \
  " created_at INTEGER NOT NULL);"               \
  "CREATE INDEX request_keys_by_age ON request_keys(created_at);"

// Runs of batch files: state 0 unfinished, 1 finished, 2 set aside (the
// file was run as a new batch instead).
#define QUILLET_BATCH_RUNS                                 \
  "CREATE TABLE batch_runs("                               \
  "identity TEXT PRIMARY KEY, file_name TEXT NOT NULL,"    \
  " lines INTEGER NOT NULL, lines_done INTEGER NOT NULL,"  \
  " state INTEGER NOT NULL, updated_at INTEGER NOT NULL);" \
  "CREATE INDEX batch_runs_by_file ON batch_runs(file_name, state);"

// Each key's own expiry (Unix seconds), written with it: a key lives as long
// as the client that wrote it asked, whatever other clients prune. Keys
// stored before, and keys that a Quillet of an earlier schema still running
// writes without one (0), live the default lifetime from their creation.
const std::string kKeyExpiry =
    "ALTER TABLE request_keys ADD COLUMN expires_at INTEGER NOT NULL "
    "DEFAULT 0;"
    "UPDATE request_keys SET expires_at = created_at + " +
    std::to_string(kDefaultKeyRetentionSeconds) +
    ";"
    "CREATE TRIGGER request_keys_default_expiry AFTER INSERT ON request_keys "
    "WHEN NEW.expires_at = 0 BEGIN UPDATE request_keys SET expires_at = "
    "NEW.created_at + " +
    std::to_string(kDefaultKeyRetentionSeconds) +
    " WHERE key = NEW.key; END;"
    "DROP INDEX IF EXISTS request_keys_by_age;"
    "CREATE INDEX request_keys_by_expiry ON request_keys(expires_at);";

// What listings filter on, read from the properties by virtual columns
// (computed when read, stored only in their indexes) in their JSON spelling
// as stored (json_extract would cut a text at a NUL), and the description's
// text in a full-text index of trigrams: a filtered page reads the calls it
// answers, not every call. Each index is one more page a commit writes, so
// there are as few as the filters need: status and sold-to partner in
// sequence order (an index entry ends in the sequence number), the last
// transaction time for the newest-changed order and "changed since".
//
// The text index keeps no copy of the text (it reads it back from calls,
// should it need it) and no positions: a text is looked for as the
// trigrams it holds, and each call they find is then checked for the text
// itself. It holds the calls up to calls_text_upto.upto, which the engine
// moves on every so many calls (a commit per call would write a segment of
// the index each); a listing reads the few calls after it as they are. A
// change of a description the index holds is applied at once, by trigger.
constexpr const char* kListingIndexes = R"sql(
ALTER TABLE calls ADD COLUMN status INTEGER GENERATED ALWAYS AS (
  CASE WHEN json_type(properties, '$.Status') IS NULL THEN 0
  ELSE json_extract(properties, '$.Status[1]') END) VIRTUAL;
ALTER TABLE calls ADD COLUMN sold_to TEXT GENERATED ALWAYS AS (
  properties -> '$.SoldToBusinessPartner') VIRTUAL;
ALTER TABLE calls ADD COLUMN description TEXT GENERATED ALWAYS AS (
  properties -> '$.CallDescription') VIRTUAL;
CREATE INDEX calls_by_status ON calls(status);
CREATE INDEX calls_by_sold_to ON calls(sold_to);
CREATE INDEX calls_by_time ON calls(last_transaction_time);
CREATE VIRTUAL TABLE calls_text USING fts5(description, content='calls',
  content_rowid='seq', tokenize='trigram case_sensitive 1', detail=none,
  columnsize=0);
INSERT INTO calls_text(calls_text) VALUES('rebuild');
CREATE TABLE calls_text_upto(upto INTEGER NOT NULL);
INSERT INTO calls_text_upto SELECT coalesce(max(seq), 0) FROM calls;
CREATE TRIGGER calls_text_update AFTER UPDATE OF properties ON calls
  WHEN OLD.description IS NOT NEW.description
  AND OLD.seq <= (SELECT upto FROM calls_text_upto) BEGIN
  INSERT INTO calls_text(calls_text, rowid, description)
    SELECT 'delete', OLD.seq, OLD.description
    WHERE OLD.description IS NOT NULL;
  INSERT INTO calls_text(rowid, description)
    SELECT NEW.seq, NEW.description WHERE NEW.description IS NOT NULL;
END;
)sql";

// The calls' texts as a search reads them (schema version 9), one a line
// (search_words.h), in a full-text index whose words fold letter case and
// accents for any script (unicode61 without diacritics). The index keeps
// its copy of each text, which a match is cut from; it holds the calls up
// to calls_text_upto.upto, as the description's index does, and a search
// reads the few calls after it through an index of their own made then
// (sqlite_search.cc). A change of a call it holds is applied at once, by
// trigger. The customer's name is the one stored when the call was last
// indexed.
#define QUILLET_SEARCH_TOKENS "tokenize='unicode61 remove_diacritics 2'"
constexpr const char* kSearchIndex = R"sql(
CREATE VIEW calls_search_body(seq, body) AS SELECT seq,
  coalesce(properties ->> '$.CallDescription', '') || char(10) ||
  coalesce(properties ->> '$.Problem', '') || char(10) ||
  coalesce(properties ->> '$.CallerName', '') || char(10) ||
  coalesce((SELECT name FROM business_partners WHERE number =
    properties ->> '$.SoldToBusinessPartner'), '') || char(10) ||
  coalesce((SELECT group_concat(value, '') FROM json_each(text)), '') ||
  char(10) ||
  coalesce((SELECT group_concat(value, '') FROM json_each(solution_text)),
    '') FROM calls;
CREATE VIRTUAL TABLE calls_search USING fts5(body, )sql" QUILLET_SEARCH_TOKENS
                                     R"sql();
CREATE TRIGGER calls_search_update AFTER UPDATE ON calls
  WHEN OLD.seq <= (SELECT upto FROM calls_text_upto) BEGIN
  DELETE FROM calls_search WHERE rowid = OLD.seq;
  INSERT INTO calls_search(rowid, body)
    SELECT seq, body FROM calls_search_body WHERE seq = NEW.seq;
END;
)sql";
// The index is filled for the calls stored before, this many at a time.

// Request keys kept in the order they expire (schema version 7): the row's
// id is its expiry (Unix seconds) times 2^20 plus its place among the keys
// that expire in the same second, so pruning reads the table from its start
// and needs no index of its own. A key costs a commit the table's page and
// its key's index page, where an index by expiry made it three. An expiry
// past 2^42 (some 139,000 years) takes the id of 2^42, so that the id stays
// a whole number of 64 bits: such a key is kept for good either way.
#define QUILLET_KEY_SECOND(expiry) "max(0, min(" expiry ", 4398046511104))"
constexpr const char* kKeysByExpiry = R"sql(
CREATE TABLE request_keys_new(
  id INTEGER PRIMARY KEY,
  key TEXT NOT NULL UNIQUE,
  kind TEXT NOT NULL,
  digest TEXT NOT NULL,
  answer TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL DEFAULT 0);
INSERT INTO request_keys_new
  SELECT second * 1048576 + row_number() OVER (
    PARTITION BY second ORDER BY created_at, key) - 1,
    key, kind, digest, answer, created_at, expires_at
  FROM (SELECT *, )sql" QUILLET_KEY_SECOND("expires_at") R"sql( AS second
        FROM request_keys);
DROP TABLE request_keys;
ALTER TABLE request_keys_new RENAME TO request_keys;
)sql";
// A Quillet of an earlier schema still running writes a key without an id
// (it gets the one after the last, past every expiry, where pruning would
// never reach it) and perhaps without an expiry (0: the default lifetime
// from its creation, as version 5 gave). The key is moved to its place.
#define QUILLET_KEY_EXPIRY                               \
  "(CASE NEW.expires_at WHEN 0 THEN NEW.created_at + " + \
      std::to_string(kDefaultKeyRetentionSeconds) +      \
      " ELSE NEW.expires_at END)"
const std::string kKeySecond = QUILLET_KEY_SECOND("e");
const std::string kKeysInPlace =
    "CREATE TRIGGER request_keys_in_place AFTER INSERT ON request_keys "
    "WHEN NEW.expires_at = 0 OR NEW.id / 1048576 IS NOT "
    "max(0, min(NEW.expires_at, 4398046511104)) BEGIN "
    "UPDATE request_keys SET expires_at = " QUILLET_KEY_EXPIRY
    ", id = (SELECT coalesce(max(k.id) + 1, x.s * 1048576) FROM (SELECT " +
    kKeySecond +
    " AS s FROM (SELECT " QUILLET_KEY_EXPIRY
    " AS e)) x LEFT JOIN request_keys k ON k.id >= x.s * 1048576 AND k.id < "
    "(x.s + 1) * 1048576) WHERE id = NEW.id; END;";

// The event log (schema version 8): one row per write, in the write's own
// transaction. AUTOINCREMENT: a position is never given twice, even after
// the newest events are pruned. A call's and an item's events are found
// through their indexes (each entry ends in the position); pruning reads
// from the oldest, and events_pruned keeps the highest position it
// removed, so that a reader asking from before it is told it missed some.
constexpr const char* kEvents = R"sql(
CREATE TABLE events(
  position INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  actor TEXT NOT NULL,
  channel TEXT NOT NULL,
  operation TEXT NOT NULL,
  option INTEGER,
  call TEXT,
  item TEXT,
  request_key TEXT,
  dry_run INTEGER NOT NULL,
  done INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  changes TEXT NOT NULL);
CREATE INDEX events_by_call ON events(call) WHERE call IS NOT NULL;
CREATE INDEX events_by_item ON events(item) WHERE item IS NOT NULL;
CREATE TABLE events_pruned(upto INTEGER NOT NULL);
INSERT INTO events_pruned VALUES(0);
)sql";

// Webhook delivery progress (schema version 10): one row per endpoint,
// keyed by its identity (a hash of its URL).
constexpr const char* kWebhookProgress = R"sql(
CREATE TABLE webhook_progress(
  endpoint TEXT PRIMARY KEY,
  url TEXT NOT NULL,
  delivered INTEGER NOT NULL,
  given_up INTEGER NOT NULL,
  attempts INTEGER NOT NULL,
  last_failure TEXT NOT NULL,
  updated INTEGER NOT NULL);
)sql";

// The tables of a new file as schema version kTablesVersion laid them out;
// the migration steps after that version then apply to a new file as to an
// old one, so that each change of layout is written once.

}  // namespace

const char* const kTables =
    "CREATE TABLE calls" QUILLET_CALLS_COLUMNS ";" QUILLET_REQUEST_KEYS
    R"sql(
CREATE TABLE service_objects(
  object TEXT PRIMARY KEY,
  contract TEXT NOT NULL DEFAULT '',
  warranty TEXT NOT NULL DEFAULT '',
  warranty_description TEXT NOT NULL DEFAULT '',
  warranty_expiry_date TEXT NOT NULL DEFAULT '');
CREATE TABLE business_partners(
  number TEXT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '');
CREATE TABLE engineer_time(
  question_id TEXT PRIMARY KEY,
  minutes INTEGER NOT NULL);
CREATE TABLE items(
  serial TEXT PRIMARY KEY,
  component TEXT NOT NULL,
  changed_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')));
CREATE TABLE item_fields(
  serial TEXT NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(serial, name));
)sql";

// Schema version 2 kept a call's properties and text pieces a row each, in
// call_properties and call_texts, beside a calls row keyed by call number.
// The JSON aggregates read the pieces in position order.
namespace {
constexpr const char* kOneRowPerCall =
    "CREATE TABLE calls_rows" QUILLET_CALLS_COLUMNS
    ";"
    R"sql(
INSERT INTO calls_rows(seq, component, last_transaction_time, created_at,
                       properties, text, solution_text)
SELECT c.seq, c.component, c.last_transaction_time, c.created_at,
  coalesce((SELECT json_group_object(p.name, CASE p.type
              WHEN 'String' THEN CAST(p.value AS TEXT)
              ELSE json_array(p.type, p.value) END)
            FROM call_properties p WHERE p.call_number = c.call_number), '{}'),
  (SELECT nullif(json_group_array(piece), '[]') FROM (SELECT piece
     FROM call_texts t WHERE t.call_number = c.call_number AND t.kind = 'Text'
     ORDER BY t.position)),
  (SELECT nullif(json_group_array(piece), '[]') FROM (SELECT piece
     FROM call_texts t WHERE t.call_number = c.call_number
       AND t.kind = 'SolutionText' ORDER BY t.position))
FROM calls c;
DROP TABLE call_properties;
DROP TABLE call_texts;
DROP TABLE calls;
ALTER TABLE calls_rows RENAME TO calls;
)sql";

// The tables of a database that an earlier Quillet made before databases
// were marked (schema version 0).
}  // namespace

const std::set<std::string> kUnmarkedTables = {
    "business_partners", "call_properties", "call_texts", "calls",
    "engineer_time",     "item_fields",     "items",      "service_objects",
    "sqlite_sequence"};

// Step N brings schema version N to N + 1.
const std::vector<std::string> kMigrations = {
    // 0 -> 1: transaction times counted from 2000 rather than 1970.
    R"sql(
UPDATE calls SET last_transaction_time = last_transaction_time - 946684800
  WHERE last_transaction_time > 946684800;
UPDATE call_properties SET value = value - 946684800
  WHERE name = 'LastTransactionTime' AND value > 946684800;
)sql",
    // 1 -> 2: request keys.
    QUILLET_REQUEST_KEYS,
    // 2 -> 3: one row per call.
    kOneRowPerCall,
    // 3 -> 4: batch runs.
    QUILLET_BATCH_RUNS,
    // 4 -> 5: each request key's expiry.
    kKeyExpiry,
    // 5 -> 6: one row per call on PostgreSQL; SQLite's layout is the same.
    "",
    // 6 -> 7: what listings filter on, indexed; keys in order of expiry.
    std::string(kListingIndexes) + kKeysByExpiry + kKeysInPlace,
    // 7 -> 8: the event log.
    kEvents,
    // 8 -> 9: the calls' texts searched (filled by FillSearchIndex).
    kSearchIndex,
    // 9 -> 10: webhook delivery progress.
    kWebhookProgress,
};
static_assert(kSchemaVersion == 10, "add a migration step with the version");

}  // namespace quillet::standins::sqlite_steps
