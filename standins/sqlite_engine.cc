// The SQLite engine: one database file, one connection per BackendStore for
// its reads. Writes go through the file's write group (sqlite_write_group.h):
// one connection per file in this process, whose transactions the writers
// that arrive together share, each in a savepoint of its own; other
// processes wait up to the busy timeout. Statements are prepared once per
// connection, and values are only ever bound.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <string_view>
#include <unordered_map>

#include "backend_failure.h"
#include "call_row_json.h"
#include "sqlite_schema.h"
#include "sqlite_statement.h"
#include "sqlite_write_group.h"
#include "storage_engine.h"

namespace quillet::standins {
namespace {

// How long a statement waits for another connection's lock.
constexpr int kBusyWaitMs = 10000;
// The text index takes the calls this many at a time.
constexpr int64_t kTextIndexEvery = 128;

// A row as bound: declared before the statement, so that SQLite can read
// the (possibly large) texts in place rather than copy them.
struct EncodedRow {
  explicit EncodedRow(const CallRow& row)
      : properties(EncodeProperties(row.properties)),
        text(EncodePieces(row.text)),
        solution_text(EncodePieces(row.solution_text)) {}
  // Binds the row from parameter `first` on.
  Statement& BindTo(Statement& s, int first) const {
    return s.BindKept(first, properties)
        .BindKept(first + 1, text)
        .BindKept(first + 2, solution_text);
  }
  std::string properties;
  std::optional<std::string> text, solution_text;
};

const char* MasterSql(MasterTable table) {
  switch (table) {
    case MasterTable::kServiceObjects:
      return "INSERT OR REPLACE INTO service_objects(object, contract, "
             "warranty, warranty_description, warranty_expiry_date) "
             "VALUES(?1, ?2, ?3, ?4, ?5)";
    case MasterTable::kBusinessPartners:
      return "INSERT OR REPLACE INTO business_partners(number, name) "
             "VALUES(?1, ?2)";
    case MasterTable::kEngineerTime:
      return "INSERT OR REPLACE INTO engineer_time(question_id, minutes) "
             "VALUES(?1, ?2)";
  }
  return "";
}

// How a reading command opens the file so that it writes nothing and leaves
// nothing of its own behind. The file's owner (or root, for whom SQLite
// makes companions the owner's) who may write it and its folder opens it
// as a writer would: SQLite removes the -wal and -shm files when the last
// connection closes. Anyone else (another user, a read-only file or folder)
// opens it read-only: sharing a writer's -wal and -shm while they are
// there, else as an immutable file, which makes no -wal and -shm that
// would be theirs and lock the owner out (a writer that starts during such
// a read may make the read fail, never change the file).
enum class Reader { kOwner, kShared, kImmutable };
Reader ReaderAccess(const std::string& path) {
  struct stat file {};
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  const char* folder_name = folder.empty() ? "." : folder.c_str();
  if (::stat(path.c_str(), &file) == 0 &&
      (file.st_uid == ::geteuid() || ::geteuid() == 0) &&
      ::access(path.c_str(), W_OK) == 0 && ::access(folder_name, W_OK) == 0)
    return Reader::kOwner;
  std::error_code ec;
  if (std::filesystem::exists(path + "-wal", ec)) return Reader::kShared;
  return Reader::kImmutable;
}

// The URI that opens `path` as a file nothing changes.
std::string ImmutableUri(const std::string& path) {
  // An absolute path after an empty authority ("file:///tmp/x.db").
  std::string uri = path.rfind('/', 0) == 0 ? "file://" : "file:";
  for (char raw : path) {
    auto c = static_cast<unsigned char>(raw);
    if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' ||
        c == '~') {
      uri += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri += hex;
    }
  }
  return uri + "?immutable=1";
}

// Listing a master table (business partners or service objects): a page
// after a key, or the row of one key.
const char* MasterPageSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number > ?1 "
               "ORDER BY number LIMIT ?2"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object > ?1 "
               "ORDER BY object LIMIT ?2";
}
const char* MasterRowSql(MasterTable table) {
  return table == MasterTable::kBusinessPartners
             ? "SELECT number, name FROM business_partners WHERE number = ?1"
             : "SELECT object, contract, warranty, warranty_description, "
               "warranty_expiry_date FROM service_objects WHERE object = ?1";
}
int MasterWidth(MasterTable table) {
  return table == MasterTable::kBusinessPartners ? 2 : 5;
}

// A text the trigram index can look for: whole UTF-8 characters, at least
// three of them (a trigram), and no NUL. Any other text is looked for in
// every description the other filters leave.
bool Indexable(const std::string& text) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++chars) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c == 0                  ? 0
                 : c < 0x80              ? 1
                 : c >= 0xc2 && c < 0xe0 ? 2
                 : c >= 0xe0 && c < 0xf0 ? 3
                 : c >= 0xf0 && c < 0xf5 ? 4
                                         : 0;
    if (len == 0 || i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80)
        return false;
    i += len;
  }
  return chars >= 3;
}

// The full-text question for `text`: every trigram it holds, each quoted.
// What it finds holds them all, in some order: each call found is then
// checked for the text itself.
std::string TrigramQuery(const std::string& text) {
  std::vector<size_t> starts;  // of each character
  for (size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80)
      starts.push_back(i);
  starts.push_back(text.size());
  std::set<std::string> trigrams;
  for (size_t c = 0; c + 3 < starts.size(); ++c)
    trigrams.insert(text.substr(starts[c], starts[c + 3] - starts[c]));
  std::string query;
  for (const std::string& trigram : trigrams) {
    query += query.empty() ? "\"" : " AND \"";
    for (char ch : trigram)
      query += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    query += '"';
  }
  return query;
}

// The listing's statements, one per order and set of filters: each filter
// present is a plain comparison the planner can answer from its index (a
// filter left out as "?N IS NULL OR ..." would make every statement scan).
// Parameters: ?1 after this sequence number, or (newest-changed order)
// before this time, ?7 and this sequence number; ?2 changed since; ?3
// status; ?4 sold-to partner; ?5 limit; ?6 text in the description; ?8 its
// trigram query.
enum ListingFilter : unsigned {
  kChangedSince = 1,
  kStatus = 2,
  kSoldTo = 4,
  kText = 8,          // looked for in every description left
  kIndexedText = 16,  // found through the trigram index, then checked
  kNewestChanged = 32,
  kBefore = 64,  // newest-changed order, after a call
};
constexpr unsigned kListingShapes = 128;

std::string ListingSql(unsigned shape) {
  bool changed_order = (shape & kNewestChanged) != 0;
  std::vector<std::string> terms;
  if (shape & kBefore)
    terms.push_back(
        "last_transaction_time <= ?1 AND (last_transaction_time < ?1 OR seq "
        "< ?7)");
  if (shape & kChangedSince) terms.push_back("last_transaction_time >= ?2");
  if (shape & kStatus) terms.push_back("status = ?3");
  if (shape & kSoldTo) terms.push_back("sold_to = ?4");
  // The calls the text index finds, and those it does not hold yet; in
  // sequence order, the list alone bounds the calls read.
  if (shape & kIndexedText)
    terms.push_back(
        changed_order
            ? "seq IN (SELECT rowid FROM calls_text WHERE calls_text MATCH ?8 "
              "UNION ALL SELECT seq FROM calls WHERE seq > (SELECT upto FROM "
              "calls_text_upto))"
            : "seq IN (SELECT rowid FROM calls_text WHERE calls_text MATCH ?8 "
              "AND rowid > ?1 UNION ALL SELECT seq FROM calls WHERE seq > "
              "max(?1, (SELECT upto FROM calls_text_upto)))");
  else if (!changed_order)
    terms.push_back("seq > ?1");
  if (shape & (kText | kIndexedText))
    terms.push_back("instr(description, ?6) > 0");
  std::string sql =
      changed_order ? "SELECT seq, last_transaction_time" : "SELECT seq";
  if (shape & (kText | kIndexedText)) sql += ", description";
  sql += " FROM calls";
  // "Changed since" alone, in sequence order: the calls changed since then
  // are read by time and sorted, rather than every call read in order (a
  // follower asks for the few changed since it last looked).
  if (shape == kChangedSince) sql += " INDEXED BY calls_by_time";
  for (size_t i = 0; i < terms.size(); ++i)
    sql += (i == 0 ? " WHERE " : " AND ") + terms[i];
  sql += changed_order
             ? " ORDER BY last_transaction_time DESC, seq DESC LIMIT ?5"
             : " ORDER BY seq LIMIT ?5";
  return sql;
}

// Every shape's text, made once: the statement cache keys statements by
// the address of their text.
const char* ListingStatement(unsigned shape) {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> all;
    for (unsigned s = 0; s < kListingShapes; ++s) all.push_back(ListingSql(s));
    return all;
  }();
  return texts[shape].c_str();
}

// A listing's filters as the statement compares them: the sold-to partner
// and the description are read in their stored JSON spelling (json_extract
// would cut them at a NUL), so the partner is compared with its spelling
// and the text looked for as its spelling; a description where the spelling
// is found is then checked for the text itself, since it may be found
// across an escape ("n" in "\n").
struct ListingFilters {
  unsigned shape = 0;
  bool none = false;  // a text that is not UTF-8: no stored text holds it
  std::string sold_to;
  std::string text;  // the text's spelling, without its quotes
  const CallQuery* query = nullptr;

  explicit ListingFilters(const CallQuery& q) : query(&q) {
    if (q.changed_since) shape |= kChangedSince;
    if (q.status) shape |= kStatus;
    if (q.sold_to) {
      shape |= kSoldTo;
      std::optional<std::string> spelled = SpellText(*q.sold_to);
      none = !spelled;
      if (spelled) sold_to = std::move(*spelled);
    }
    if (q.text) {
      std::optional<std::string> spelled = SpellText(*q.text);
      none = none || !spelled;
      if (spelled) text = spelled->substr(1, spelled->size() - 2);
      shape |= Indexable(text) ? kIndexedText : kText;
    }
  }

  void Bind(Statement& s, unsigned with) const {
    if (with & kChangedSince) s.Bind(2, *query->changed_since);
    if (with & kStatus) s.Bind(3, *query->status);
    if (with & kSoldTo) s.Bind(4, sold_to);
    if (with & (kText | kIndexedText)) s.Bind(6, text);
    if (with & kIndexedText) s.Bind(8, TrigramQuery(text));
  }

  // Whether the call of a row the statement gave is one the listing holds.
  bool Holds(Statement& s, unsigned with) const {
    if (!(with & (kText | kIndexedText))) return true;
    int column = with & kNewestChanged ? 2 : 1;
    if (s.IsNull(column)) return false;
    std::optional<std::string> description = SpelledText(s.View(column));
    return description && description->find(*query->text) != std::string::npos;
  }
};

class SqliteEngine final : public StorageEngine {
 public:
  SqliteEngine(const std::string& path, OpenMode open, WriteGroups& groups)
      : path_(path) {
    CheckDatabasePath(path);
    bool reading = open == OpenMode::kForReading;
    bool writing = open == OpenMode::kForWriting;
    std::error_code ec;
    if (!writing && !std::filesystem::exists(path, ec))
      RaiseBackend("no database '" + path + "'");
    // Only a store for writing may make the file.
    int flags = SQLITE_OPEN_READWRITE | (writing ? SQLITE_OPEN_CREATE : 0);
    std::string name = path;
    if (reading) {
      switch (ReaderAccess(path)) {
        case Reader::kShared:  // a writer's -wal and -shm are there
          flags = SQLITE_OPEN_READONLY;
          break;
        case Reader::kOwner:  // creates nothing that outlives it
          flags = SQLITE_OPEN_READWRITE;
          break;
        case Reader::kImmutable:
          flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
          name = ImmutableUri(path);
          break;
      }
    }
    flags |= SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      RaiseBackend("cannot open database '" + path + "': " + message);
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    sqlite3_extended_result_codes(db_, 1);
    struct stat opened {};
    if (::stat(path.c_str(), &opened) == 0)
      opened_ = {opened.st_dev, opened.st_ino};
    try {
      // Nothing is written before the file is known to be Quillet's.
      PrepareSchema(db_, path, open);
      // WAL with NORMAL sync: a commit survives a crash of the process; the
      // last commits may be lost if the machine loses power.
      if (writing) Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
      cache_ = std::make_unique<StatementCache>(db_);
      use_ = cache_.get();
      group_ = groups.Of(path, opened_);
    } catch (...) {
      sqlite3_close(db_);
      throw;
    }
  }
  ~SqliteEngine() override {
    cache_.reset();
    sqlite3_close(db_);
  }

  void WriteTransaction(const std::function<void()>& work,
                        Ending ending) override {
    group_->Write(
        [&](StatementCache& shared) {
          Using using_shared(*this, shared);
          work();
        },
        ending == Ending::kRollBack);
  }

  std::unique_ptr<WriteHold> HoldWrites() override { return group_->Hold(); }

  bool Replaced() override {
    struct stat now {};
    return ::stat(path_.c_str(), &now) != 0 ||
           std::pair{now.st_dev, now.st_ino} != opened_;
  }

  void CheckWritable() override {
    // The file's write lock, taken and let go.
    if (sqlite3_db_readonly(db_, "main") != 1) {
      group_->Write([](StatementCache&) {}, /*roll_back=*/true);
      return;
    }
    // This connection only reads (another user's file, or a writer's):
    // ask with one that may write, as a write would, making nothing.
    sqlite3* probe = nullptr;
    std::string why;
    if (sqlite3_open_v2(path_.c_str(), &probe,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      why = probe ? sqlite3_errmsg(probe) : "out of memory";
    } else if (sqlite3_db_readonly(probe, "main") == 1) {
      why = "this user may not write the file";
    } else {
      sqlite3_busy_timeout(probe, kBusyWaitMs);
      if (sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) !=
          SQLITE_OK)
        why = sqlite3_errmsg(probe);
      sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    sqlite3_close(probe);
    if (!why.empty()) RaiseBackend("the database cannot be written: " + why);
  }

  void ReadTransaction(const std::function<void()>& work) override {
    if (group_->Inside()) {  // sees what the transaction wrote so far
      Using using_shared(*this, group_->Statements());
      work();
      return;
    }
    Statement(*use_, "BEGIN").Run();
    try {
      work();
      Statement(*use_, "COMMIT").Run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  // One writer at a time, numbering inside its transaction: every number
  // handed out is settled once the writer is done.
  int64_t SettledSeq() override { return INT64_MAX; }

  int64_t NewCallSeq() override {
    // The write transaction holds the file's write lock, and calls are
    // never deleted: the next number is one past the last.
    Statement s(*use_, "SELECT coalesce(max(seq), 0) + 1 FROM calls");
    s.Step();
    return s.Int(0);
  }
  void InsertCall(int64_t seq, const std::string&, const std::string& component,
                  int64_t time, const CallRow& row) override {
    EncodedRow encoded(row);
    Statement s(*use_,
                "INSERT INTO calls(seq, component, last_transaction_time, "
                "properties, text, solution_text) VALUES(?1, ?2, ?3, ?4, ?5, "
                "?6)");
    s.Bind(1, seq).Bind(2, component).Bind(3, time);
    encoded.BindTo(s, 4).Run();
    if (seq % kTextIndexEvery == 0) IndexTexts();
  }
  std::optional<CallRow> ReadCall(int64_t seq, bool) override {
    // A write transaction already holds the file's write lock.
    Statement s(*use_,
                "SELECT properties, text, solution_text FROM calls WHERE seq "
                "= ?1");
    s.Bind(1, seq);
    if (!s.Step()) return std::nullopt;
    CallRow row;
    row.properties = DecodeProperties(s.View(0));
    if (!s.IsNull(1)) row.text = DecodePieces(s.View(1));
    if (!s.IsNull(2)) row.solution_text = DecodePieces(s.View(2));
    return row;
  }
  void RewriteCall(int64_t seq, const std::string&, int64_t time,
                   const CallRow&, const CallRow& after,
                   const TextChanges&) override {
    EncodedRow encoded(after);
    Statement s(*use_,
                "UPDATE calls SET last_transaction_time = ?2, properties = "
                "?3, text = ?4, solution_text = ?5 WHERE seq = ?1");
    s.Bind(1, seq).Bind(2, time);
    encoded.BindTo(s, 3).Run();
  }
  std::vector<int64_t> CallPage(const CallQuery& query, int64_t after_seq,
                                int64_t limit) override {
    ListingFilters filters(query);
    if (filters.none) return {};
    Statement s(*use_, ListingStatement(filters.shape));
    s.Bind(1, after_seq).Bind(5, RowsToRead(filters.shape, limit));
    filters.Bind(s, filters.shape);
    std::vector<int64_t> out;
    while (static_cast<int64_t>(out.size()) < limit && s.Step())
      if (filters.Holds(s, filters.shape)) out.push_back(s.Int(0));
    return out;
  }

  std::vector<std::pair<int64_t, int64_t>> ChangedCallPage(
      const CallQuery& query,
      const std::optional<std::pair<int64_t, int64_t>>& before,
      int64_t limit) override {
    ListingFilters filters(query);
    if (filters.none) return {};
    unsigned shape = filters.shape | kNewestChanged | (before ? kBefore : 0u);
    Statement s(*use_, ListingStatement(shape));
    if (before) s.Bind(1, before->second).Bind(7, before->first);
    s.Bind(5, RowsToRead(shape, limit));
    filters.Bind(s, shape);
    std::vector<std::pair<int64_t, int64_t>> out;
    while (static_cast<int64_t>(out.size()) < limit && s.Step())
      if (filters.Holds(s, shape)) out.emplace_back(s.Int(0), s.Int(1));
    return out;
  }

  bool BusinessPartnerExists(const std::string& number) override {
    Statement s(*use_, "SELECT 1 FROM business_partners WHERE number = ?1");
    s.Bind(1, number);
    return s.Step();
  }
  std::optional<ServiceObjectFacts> ServiceObject(
      const std::string& object) override {
    Statement s(*use_,
                "SELECT contract, warranty, warranty_description, "
                "warranty_expiry_date FROM service_objects WHERE object = ?1");
    s.Bind(1, object);
    if (!s.Step()) return std::nullopt;
    return ServiceObjectFacts{s.Text(0), s.Text(1), s.Text(2), s.Text(3)};
  }
  int64_t EngineerMinutes(const std::string& question) override {
    Statement s(*use_,
                "SELECT minutes FROM engineer_time WHERE question_id = ?1");
    s.Bind(1, question);
    return s.Step() ? s.Int(0) : 0;
  }
  std::vector<std::vector<std::string>> MasterPage(MasterTable table,
                                                   const std::string& after,
                                                   int64_t limit) override {
    Statement s(*use_, MasterPageSql(table));
    s.Bind(1, after).Bind(2, limit);
    std::vector<std::vector<std::string>> out;
    while (s.Step()) out.push_back(Row(s, MasterWidth(table)));
    return out;
  }
  std::optional<std::vector<std::string>> MasterRowOf(
      MasterTable table, const std::string& key) override {
    Statement s(*use_, MasterRowSql(table));
    s.Bind(1, key);
    if (!s.Step()) return std::nullopt;
    return Row(s, MasterWidth(table));
  }
  static std::vector<std::string> Row(Statement& s, int width) {
    std::vector<std::string> row;
    for (int i = 0; i < width; ++i) row.push_back(s.Text(i));
    return row;
  }
  void PutMasterRow(MasterTable table,
                    const std::vector<MasterValue>& values) override {
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

  std::optional<std::string> ItemComponent(const std::string& serial) override {
    Statement s(*use_, "SELECT component FROM items WHERE serial = ?1");
    s.Bind(1, serial);
    if (!s.Step()) return std::nullopt;
    return s.Text(0);
  }
  void InsertItem(const std::string& serial,
                  const std::string& component) override {
    Statement s(*use_, "INSERT INTO items(serial, component) VALUES(?1, ?2)");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void TouchItem(const std::string& serial,
                 const std::string& component) override {
    Statement s(*use_,
                "UPDATE items SET component = ?2, changed_at = "
                "strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE serial = ?1");
    s.Bind(1, serial).Bind(2, component).Run();
  }
  void PutItemFields(
      const std::string& serial,
      const std::vector<std::pair<std::string, std::string>>& fields) override {
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
      put.Bind(1, serial)
          .Bind(2, ++position)
          .Bind(3, name)
          .Bind(4, value)
          .Run();
  }
  std::vector<std::pair<std::string, std::string>> ItemFields(
      const std::string& serial) override {
    Statement s(*use_,
                "SELECT name, value FROM item_fields WHERE serial = ?1 ORDER "
                "BY position");
    s.Bind(1, serial);
    std::vector<std::pair<std::string, std::string>> out;
    while (s.Step()) out.emplace_back(s.Text(0), s.Text(1));
    return out;
  }
  std::vector<std::string> ItemPage(const std::optional<std::string>& after,
                                    int64_t limit) override {
    Statement s(*use_,
                "SELECT serial FROM items WHERE ?1 IS NULL OR serial > ?1 "
                "ORDER BY serial LIMIT ?2");
    s.Bind(1, after).Bind(2, limit);
    std::vector<std::string> out;
    while (s.Step()) out.push_back(s.Text(0));
    return out;
  }

  std::optional<KeyRecord> FindKey(const std::string& key) override {
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
      if (!expired) found = KeyRecord{s.Text(0), s.Text(1), s.Text(2)};
    }
    if (expired) {
      Statement s(*use_, "DELETE FROM request_keys WHERE key = ?1");
      s.Bind(1, key).Run();
    }
    return found;
  }
  void InsertKey(const std::string& key, const KeyRecord& record,
                 int64_t lifetime_seconds) override {
    int64_t now = Now();
    // Its id: its expiry, and after the keys that expire in the same
    // second (sqlite_schema.cc).
    Statement s(*use_,
                "INSERT INTO request_keys(id, key, kind, digest, answer, "
                "created_at, expires_at) VALUES((SELECT coalesce(max(id) + 1, "
                "?6 * 1048576) FROM request_keys WHERE id >= ?6 * 1048576 AND "
                "id < (?6 + 1) * 1048576), ?1, ?2, ?3, ?4, ?5, ?6)");
    s.Bind(1, key).Bind(2, record.kind).Bind(3, record.digest);
    // Bounded, so that the id stays a whole number of 64 bits.
    int64_t expires = now + std::clamp<int64_t>(lifetime_seconds, 0, 1LL << 40);
    s.Bind(4, record.answer).Bind(5, now).Bind(6, expires);
    s.Run();
  }
  std::optional<BatchRun> StandingBatchRun(
      const std::string& file_name, const std::string& identity) override {
    Statement s(*use_,
                "SELECT identity, lines, lines_done, state FROM batch_runs "
                "WHERE file_name = ?1 AND state IN (0, 1) AND identity <> ?2 "
                "ORDER BY updated_at DESC LIMIT 1");
    s.Bind(1, file_name).Bind(2, identity);
    if (!s.Step()) return std::nullopt;
    return BatchRun{s.Text(0), file_name, s.Int(1), s.Int(2), s.Int(3) == 1};
  }
  void PutBatchRun(const BatchRun& run, int64_t now) override {
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
  void SetAsideBatchRuns(const std::string& file_name,
                         const std::string& identity) override {
    Statement s(*use_,
                "UPDATE batch_runs SET state = 2 WHERE file_name = ?1 AND "
                "state IN (0, 1) AND identity <> ?2");
    s.Bind(1, file_name).Bind(2, identity).Run();
  }
  void PruneKeys(int limit) override {
    // In id order, which is expiry order (a key an earlier Quillet wrote is
    // moved to its place as it is written: sqlite_schema.cc); the expiry
    // itself is checked too, for a key whose id is clamped.
    Statement s(*use_,
                "DELETE FROM request_keys WHERE id IN (SELECT id FROM "
                "request_keys WHERE id < (?1 + 1) * 1048576 AND expires_at <= "
                "?1 ORDER BY id LIMIT ?2)");
    s.Bind(1, Now()).Bind(2, int64_t{limit}).Run();
  }
  void PruneKeysCreatedBefore(int64_t created_before, int limit) override {
    Statement s(*use_,
                "DELETE FROM request_keys WHERE key IN (SELECT key FROM "
                "request_keys WHERE created_at < ?1 ORDER BY created_at "
                "LIMIT ?2)");
    s.Bind(1, created_before).Bind(2, int64_t{limit}).Run();
  }
  std::vector<KeyListing> KeyPage(const std::optional<std::string>& after,
                                  int64_t limit) override {
    Statement s(*use_,
                "SELECT key, kind, created_at FROM request_keys WHERE ?1 IS "
                "NULL OR key > ?1 ORDER BY key LIMIT ?2");
    if (after) s.Bind(1, *after);
    s.Bind(2, limit);
    std::vector<KeyListing> out;
    while (s.Step()) out.push_back({s.Text(0), s.Text(1), s.Int(2)});
    return out;
  }

  StoreFacts Facts() override {
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

 private:
  // Brings the text index up to the last call (sqlite_schema.cc says why
  // it trails): one segment for the calls since it last moved.
  void IndexTexts() {
    Statement(*use_,
              "INSERT INTO calls_text(rowid, description) SELECT seq, "
              "description FROM calls WHERE seq > (SELECT upto FROM "
              "calls_text_upto) AND description IS NOT NULL")
        .Run();
    Statement(*use_,
              "UPDATE calls_text_upto SET upto = (SELECT max(seq) FROM calls)")
        .Run();
  }

  // A text filter's rows are checked as they are read, so the statement
  // reads on until the page is full (-1: no limit).
  static int64_t RowsToRead(unsigned shape, int64_t limit) {
    return shape & (kText | kIndexedText) ? -1 : limit;
  }

  // The file lives on this machine: its clock is the host's.
  static int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      // SQLite's message for the failure, or a full disk said as one.
      std::string message = SqliteCause(db_);
      sqlite3_free(error);
      RaiseBackend("database '" + path_ + "': " + message);
    }
  }

  // While it lives, the engine's statements run on `shared`.
  class Using {
   public:
    Using(SqliteEngine& engine, StatementCache& shared)
        : engine_(engine), before_(engine.use_) {
      engine_.use_ = &shared;
    }
    ~Using() { engine_.use_ = before_; }
    Using(const Using&) = delete;
    Using& operator=(const Using&) = delete;

   private:
    SqliteEngine& engine_;
    StatementCache* before_;
  };

  std::string path_;
  std::pair<dev_t, ino_t> opened_{};  // the file opened, to see it replaced
  sqlite3* db_ = nullptr;
  std::unique_ptr<StatementCache> cache_;  // this engine's own connection
  StatementCache* use_ = nullptr;  // its own, or the write group's in a write
  std::shared_ptr<WriteGroup> group_;
};

}  // namespace

std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open,
                                                 WriteGroups& groups) {
  return std::make_unique<SqliteEngine>(path, open, groups);
}

}  // namespace quillet::standins
