// The PostgreSQL engine's schema (postgres_schema.h): the tables of a new
// database, and the steps that bring an older one up to date.
#include "postgres_schema.h"

#include "backend_failure.h"
#include "postgres_call_row.h"
#include "quillet/error.h"
#include "quillet/standins/transaction_host.h"
#include "search_words.h"

namespace quillet::standins {
namespace {

// The lock that makes the check for a foreign database and the creation of
// the schema one step across hosts.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(1364937812)";

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

std::string Meta(PgConnection& db, const char* name) {
  PgResult r =
      db.Run("SELECT value FROM quillet_meta WHERE name = $1", {Bytes(name)});
  return r.Rows() ? r.Text(0, 0) : std::string();
}

// -1: empty; else the schema version. Raises for a database that is not
// Quillet's or is newer than this build. One statement asks whether
// Quillet's mark and any other table exist: one snapshot.
int64_t SchemaVersion(PgConnection& db) {
  PgResult found = db.Run(
      "SELECT to_regclass('quillet_meta') IS NOT NULL, (SELECT count(*) "
      "FROM pg_tables WHERE schemaname = current_schema())",
      {});
  if (found.Text(0, 0) != "t") {
    if (found.Int(0, 1) == 0) return -1;
    RaiseBackend(
        "the PostgreSQL database is not a Quillet database; it was left "
        "untouched");
  }
  if (Meta(db, "application") != "quillet")
    RaiseBackend(
        "the PostgreSQL database is not a Quillet database; it was left "
        "untouched");
  int64_t version = std::stoll("0" + Meta(db, "schema_version"));
  if (version > kSchemaVersion)
    RaiseBackend("the PostgreSQL database has schema version " +
                 std::to_string(version) + ", newer than this Quillet's (" +
                 std::to_string(kSchemaVersion) + "); it was left untouched");
  return version;
}

// One row per call (schema version 6): the properties and each text in
// one value (postgres_call_row.h), and the columns listings filter on,
// made from the rows of properties and pieces in place. Call numbers are
// then their sequence numbers spelled, so they are checked to be.
#define QUILLET_PG_FRAME(bytes) "int4send(length(" bytes ")) || " bytes
#define QUILLET_PG_PROPERTY(name)                                 \
  "(SELECT p.value FROM call_properties p WHERE p.call_number = " \
  "c.call_number AND p.name = '" name "')"
#define QUILLET_PG_PIECES(kind) \
  "(SELECT string_agg(" QUILLET_PG_FRAME("t.piece") ", ''::bytea ORDER BY " \
  "t.position) FROM call_texts t WHERE t.call_number = c.call_number AND " \
  "t.kind = '" kind "')"
constexpr const char* kOneRowPerCall =
    "ALTER TABLE calls ADD COLUMN properties BYTEA, ADD COLUMN status BIGINT,"
    " ADD COLUMN sold_to BYTEA, ADD COLUMN description BYTEA,"
    " ADD COLUMN text BYTEA, ADD COLUMN solution_text BYTEA;"
    "UPDATE calls c SET properties = coalesce((SELECT string_agg("
    QUILLET_PG_FRAME("convert_to(p.name, 'UTF8')") " || "
    QUILLET_PG_FRAME("convert_to(p.type, 'UTF8')") " || "
    QUILLET_PG_FRAME("p.value") ", ''::bytea) FROM call_properties p WHERE "
    "p.call_number = c.call_number), ''::bytea),"
    " status = (SELECT convert_from(p.value, 'UTF8')::bigint FROM "
    "call_properties p WHERE p.call_number = c.call_number AND p.name = "
    "'Status' AND p.type <> 'String'),"
    " sold_to = " QUILLET_PG_PROPERTY("SoldToBusinessPartner") ","
    " description = " QUILLET_PG_PROPERTY("CallDescription") ","
    " text = " QUILLET_PG_PIECES("Text") ","
    " solution_text = " QUILLET_PG_PIECES("SolutionText") ";"
    "ALTER TABLE calls ALTER COLUMN properties SET NOT NULL;"
    "ALTER TABLE calls DROP COLUMN call_number;"
    "DROP TABLE call_properties, call_texts;";

// What listings filter on, indexed (schema version 7): status and sold-to
// partner each by sequence number, the last change by time and sequence
// number (the newest-changed order), and the description's text by its
// trigrams (pg_trgm, where the server has it and the role may add it).
// A filter's plan reads the calls it answers; the text's trigrams find
// candidates that LIKE and position() then check.
constexpr const char* kListingIndexes =
    "CREATE INDEX IF NOT EXISTS calls_by_status"
    " ON calls((coalesce(status, 0)), seq);"
    "CREATE INDEX IF NOT EXISTS calls_by_sold_to ON calls(sold_to, seq);"
    "DROP INDEX IF EXISTS calls_by_time;"
    "CREATE INDEX IF NOT EXISTS calls_by_change"
    " ON calls(last_transaction_time, seq);";
// pg_trgm may be added by a role that may create in the database from
// PostgreSQL 13 on (a trusted extension), by a superuser before.
constexpr const char* kTrigramsAvailable =
    "SELECT EXISTS(SELECT 1 FROM pg_extension WHERE extname = 'pg_trgm') OR "
    "(EXISTS(SELECT 1 FROM pg_available_extensions WHERE name = 'pg_trgm') "
    "AND has_database_privilege(current_database(), 'CREATE') AND "
    "(current_setting('server_version_num')::int >= 130000 OR (SELECT "
    "rolsuper FROM pg_roles WHERE rolname = current_user)))";
constexpr const char* kTextIndex =
    "CREATE EXTENSION IF NOT EXISTS pg_trgm;"
    "CREATE INDEX IF NOT EXISTS calls_by_description ON calls"
    " USING gin ((encode(description, 'escape')) gin_trgm_ops);";

// The event log (schema version 8): one row per write, in the write's own
// transaction, its position from an identity (never given twice). A
// call's and an item's events are found through their indexes; pruning
// reads from the oldest and keeps the highest position it removed in
// quillet_meta.
constexpr const char* kEvents =
    "CREATE TABLE IF NOT EXISTS events("
    "position BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " at BIGINT NOT NULL, actor BYTEA NOT NULL, channel TEXT NOT NULL,"
    " operation TEXT NOT NULL, option BIGINT, call BYTEA, item BYTEA,"
    " request_key BYTEA, dry_run BOOLEAN NOT NULL, done BOOLEAN NOT NULL,"
    " outcome BYTEA NOT NULL, changes BYTEA NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_call ON events(call, position)"
    " WHERE call IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS events_by_item ON events(item, position)"
    " WHERE item IS NOT NULL;"
    "INSERT INTO quillet_meta VALUES('events_pruned_through', '0')"
    " ON CONFLICT (name) DO NOTHING;";
// The calls' texts as a search reads them (schema version 9): the searched
// properties and the customer's name, the call text and the solution text,
// each as text (search_words.h), written with the call; and an index of
// their words (the 'simple' configuration: no language's stems or stop
// words), letter case and accents folded by quillet_fold: lower case by
// the ICU root collation where the server has it (a database made with
// the C locale lowers ASCII alone otherwise), accents taken off by
// unaccent where the server has it and the role may add it; without it,
// accented letters are found as written. quillet_text reads the stored
// name of a customer, a text only when it is UTF-8.
constexpr const char* kSearchColumns =
    "ALTER TABLE calls ADD COLUMN IF NOT EXISTS search_head TEXT,"
    " ADD COLUMN IF NOT EXISTS search_text TEXT,"
    " ADD COLUMN IF NOT EXISTS search_solution TEXT;"
    "CREATE OR REPLACE FUNCTION quillet_text(bytea) RETURNS text"
    " LANGUAGE plpgsql IMMUTABLE STRICT AS $f$ BEGIN"
    " RETURN convert_from($1, 'UTF8'); EXCEPTION WHEN others THEN"
    " RETURN ''; END $f$;";
constexpr const char* kUnaccentAvailable =
    "SELECT EXISTS(SELECT 1 FROM pg_extension WHERE extname = 'unaccent') OR "
    "(EXISTS(SELECT 1 FROM pg_available_extensions WHERE name = 'unaccent') "
    "AND has_database_privilege(current_database(), 'CREATE') AND "
    "(current_setting('server_version_num')::int >= 130000 OR (SELECT "
    "rolsuper FROM pg_roles WHERE rolname = current_user)))";
constexpr const char* kSearchIndex = R"sql(
DO $do$ DECLARE
  accents text := (SELECT extnamespace::regnamespace::text FROM pg_extension
                   WHERE extname = 'unaccent');
  lowered text := CASE WHEN EXISTS(SELECT 1 FROM pg_collation WHERE
    collname = 'und-x-icu') THEN 'lower($1 COLLATE "und-x-icu")'
    ELSE 'lower($1)' END;
BEGIN
  IF accents IS NOT NULL THEN
    lowered := format('%s.unaccent(%L::regdictionary, %s)', accents,
                      accents || '.unaccent', lowered);
  END IF;
  EXECUTE format('CREATE OR REPLACE FUNCTION quillet_fold(text) RETURNS text '
    'LANGUAGE sql IMMUTABLE PARALLEL SAFE STRICT AS %L', 'SELECT ' || lowered);
  -- quillet_fold named with its schema: a restore (pg_restore) builds the
  -- index with an empty search path.
  EXECUTE format('CREATE OR REPLACE FUNCTION quillet_search_words(text, text, '
    'text) RETURNS tsvector LANGUAGE sql IMMUTABLE PARALLEL SAFE AS %L',
    format('SELECT pg_catalog.to_tsvector(''pg_catalog.simple'', '
      '%I.quillet_fold(coalesce($1, '''') || E''\n'' || coalesce($2, '''') '
      '|| E''\n'' || coalesce($3, '''')))', current_schema()));
END $do$;
CREATE INDEX IF NOT EXISTS calls_by_words ON calls USING gin
  (quillet_search_words(search_head, search_text, search_solution));
)sql";
// The calls stored before are given their texts this many at a time.
constexpr int64_t kSearchFillBatch = 500;

void FillSearchColumns(PgConnection& db) {
  for (int64_t after = 0;;) {
    PgResult r = db.Run(
        "SELECT seq, properties, text, solution_text, (SELECT quillet_text("
        "name) FROM business_partners WHERE number = sold_to) FROM calls "
        "WHERE seq > $1::bigint ORDER BY seq LIMIT $2::bigint",
        {Int(after), Int(kSearchFillBatch)});
    for (int i = 0; i < r.Rows(); ++i) {
      after = r.Int(i, 0);
      StoredProperties known;
      UnknownProperties unknown;
      UnframeProperties(r.Text(i, 1), known, unknown);
      std::string head =
          SearchHead(known) + (r.IsNull(i, 4) ? "" : r.Text(i, 4));
      db.Run(
          "UPDATE calls SET search_head = $2::text, search_text = $3::text, "
          "search_solution = $4::text WHERE seq = $1::bigint",
          {Int(after), Bytes(head),
           Bytes(SearchablePieces(UnframePieces(r.Text(i, 2)))),
           Bytes(SearchablePieces(UnframePieces(r.Text(i, 3))))});
    }
    if (r.Rows() < kSearchFillBatch) return;
  }
}

// Webhook delivery progress (schema version 10): one row per endpoint,
// keyed by its identity (a hash of its URL).
constexpr const char* kWebhookProgress =
    "CREATE TABLE IF NOT EXISTS webhook_progress("
    "endpoint TEXT PRIMARY KEY, url TEXT NOT NULL, delivered BIGINT NOT NULL,"
    " given_up BIGINT NOT NULL, attempts BIGINT NOT NULL,"
    " last_failure TEXT NOT NULL, updated BIGINT NOT NULL);";

// Refuses, before anything changes, a database whose call numbers are not
// their sequence numbers spelled.
void RequireSpelledCallNumbers(PgConnection& db) {
  int64_t odd =
      db.Run(
            "SELECT count(*) FROM calls WHERE call_number IS DISTINCT FROM "
            "convert_to('SC' || lpad(seq::text, greatest(6, "
            "length(seq::text)), '0'), 'UTF8')",
            {})
          .Int(0, 0);
  if (odd > 0)
    RaiseBackend("the PostgreSQL database holds " + std::to_string(odd) +
                 " call(s) whose number does not follow their sequence "
                 "number; it was left untouched");
}

// Whether the database is Quillet's, at this build's schema version: asked
// in one round trip of a read-only transaction, which writes nothing and
// takes no lock. Any other answer (no such table, another version, a
// failure) leaves the full check to say what it is.
bool SchemaIsCurrent(PgConnection& db) {
  bool current = false;
  // The full check's failure is the one that counts: this one is told to a
  // context of its own, not the caller's.
  ListeningScope quiet;
  try {
    db.ReadTransaction([&] {
      PgResult r = db.Run(
          "SELECT count(*) FILTER (WHERE name = 'application' AND value = "
          "'quillet'), coalesce(max(value) FILTER (WHERE name = "
          "'schema_version'), '') FROM quillet_meta",
          {});
      current =
          r.Int(0, 0) == 1 && r.Text(0, 1) == std::to_string(kSchemaVersion);
    });
  } catch (const Error&) {
  }
  return current;
}

}  // namespace

// Hosts that start together check and create the schema under one lock:
// the others wait, and then find it whole, never half made. A database
// already up to date, as nearly every start finds it, is only read.
void PreparePostgresSchema(PgConnection& db, OpenMode open) {
  if (SchemaIsCurrent(db)) return;
  bool writing = open == OpenMode::kForWriting;
  db.SchemaTransaction(writing, [&] {
    if (writing) db.Exec(kSchemaLock);
    int64_t version = SchemaVersion(db);
    if (version != kSchemaVersion && !writing)
      RaiseBackend(version < 0
                       ? "the PostgreSQL database is empty: nothing is "
                         "stored yet"
                       : "the PostgreSQL database was made by an earlier "
                         "Quillet; bring it up to date with 'quillet "
                         "backend migrate' first");
    if (version < 0) {
      db.Exec(kSchema, "cannot create Quillet's tables");
      db.Run(
          "INSERT INTO quillet_meta VALUES('application', 'quillet'), "
          "('schema_version', $1)",
          {Bytes(std::to_string(kSchemaVersion))});
    }
    // kSchema is version 3's layout; versions 2 and 3 differ only in
    // the SQLite layout. 4 adds batch runs, 5 each key's expiry, 6 one row
    // per call, 7 the listings' indexes, 8 the event log, 9 the search,
    // 10 webhook delivery progress.
    if (version < 4) db.Exec(QUILLET_PG_BATCH_RUNS);
    if (version < 5) db.Exec(kKeyExpiry.c_str());
    if (version < 6) {
      RequireSpelledCallNumbers(db);
      db.Exec(kOneRowPerCall, "cannot bring the calls to one row each");
    }
    if (version < 7) {
      db.Exec(kListingIndexes, "cannot index the calls");
      if (db.Run(kTrigramsAvailable, {}).Text(0, 0) == "t")
        db.Exec(kTextIndex, "cannot index the calls' descriptions");
    }
    if (version < 8) db.Exec(kEvents, "cannot add the event log");
    if (version < 9) {
      db.Exec(kSearchColumns, "cannot add the calls' search columns");
      if (db.Run(kUnaccentAvailable, {}).Text(0, 0) == "t")
        db.Exec("CREATE EXTENSION IF NOT EXISTS unaccent",
                "cannot add the unaccent extension");
      FillSearchColumns(db);
      db.Exec(kSearchIndex, "cannot index the calls' texts");
    }
    if (version < 10)
      db.Exec(kWebhookProgress, "cannot add the webhook progress");
    if (version >= 0 && version < kSchemaVersion)
      db.Run(
          "UPDATE quillet_meta SET value = $1 WHERE name = "
          "'schema_version'",
          {Bytes(std::to_string(kSchemaVersion))});
  });
}

}  // namespace quillet::standins
