#include "sqlite_engine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

#include "backend_failure.h"
#include "call_row_json.h"
#include "sqlite_listing_sql.h"
#include "sqlite_reader_access.h"
#include "sqlite_schema.h"

namespace quillet::standins {
namespace sqlite {

SqliteEngine::SqliteEngine(const std::string& path, OpenMode open,
                           WriteGroups& groups)
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
  if (!reading && sqlite3_db_readonly(db_, "main") == 1) {
    sqlite3_close(db_);
    RaiseReadOnly(path);
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
    // The -wal the connection opened as it read, if the file has one.
    if (::stat((path + "-wal").c_str(), &opened) == 0)
      wal_opened_ = std::pair{opened.st_dev, opened.st_ino};
    cache_ = std::make_unique<StatementCache>(db_);
    use_ = cache_.get();
    group_ = groups.Of(path, opened_);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

SqliteEngine::~SqliteEngine() {
  cache_.reset();
  sqlite3_close(db_);
}

void SqliteEngine::WriteTransaction(const std::function<void()>& work,
                                    Ending ending) {
  group_->Write(
      [&](StatementCache& shared) {
        Using using_shared(*this, shared);
        work();
      },
      ending == Ending::kRollBack);
}

std::unique_ptr<WriteHold> SqliteEngine::HoldWrites() { return group_->Hold(); }

bool SqliteEngine::Replaced() {
  struct stat now {};
  if (::stat(path_.c_str(), &now) != 0 ||
      std::pair{now.st_dev, now.st_ino} != opened_)
    return true;
  // A -wal moved or deleted: this connection would read the old one.
  return wal_opened_ && (::stat((path_ + "-wal").c_str(), &now) != 0 ||
                         std::pair{now.st_dev, now.st_ino} != *wal_opened_);
}

void SqliteEngine::CheckWritable() {
  // A commit, as a write's: the write lock needs no free page, a commit
  // does. It sets the schema version to what it is.
  if (sqlite3_db_readonly(db_, "main") != 1) {
    group_->Write(
        [](StatementCache& shared) {
          int64_t version = 0;
          {
            Statement read(shared, "PRAGMA user_version");
            if (read.Step()) version = read.Int(0);
          }
          std::string same = "PRAGMA user_version = " + std::to_string(version);
          if (sqlite3_exec(shared.db(), same.c_str(), nullptr, nullptr,
                           nullptr) != SQLITE_OK)
            RaiseStatement(shared.db(), same.c_str());
        },
        /*roll_back=*/false);
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
    why = ReadOnlyCause(path_);
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

void SqliteEngine::ReadTransaction(const std::function<void()>& work) {
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

int64_t SqliteEngine::SettledSeq() { return INT64_MAX; }

int64_t SqliteEngine::NewCallSeq() {
  // The write transaction holds the file's write lock, and calls are
  // never deleted: the next number is one past the last.
  Statement s(*use_, "SELECT coalesce(max(seq), 0) + 1 FROM calls");
  s.Step();
  return s.Int(0);
}

void SqliteEngine::InsertCall(int64_t seq, const std::string&,
                              const std::string& component, int64_t time,
                              const CallRow& row) {
  EncodedRow encoded(row);
  Statement s(*use_,
              "INSERT INTO calls(seq, component, last_transaction_time, "
              "properties, text, solution_text) VALUES(?1, ?2, ?3, ?4, ?5, "
              "?6)");
  s.Bind(1, seq).Bind(2, component).Bind(3, time);
  encoded.BindTo(s, 4).Run();
  if (seq % kTextIndexEvery == 0) IndexTexts();
}

std::optional<CallRow> SqliteEngine::ReadCall(int64_t seq, bool) {
  // A write transaction already holds the file's write lock.
  Statement s(*use_,
              "SELECT properties, text, solution_text FROM calls WHERE seq "
              "= ?1");
  s.Bind(1, seq);
  if (!s.Step()) return std::nullopt;
  CallRow row;
  DecodeProperties(s.View(0), row.properties, row.unknown_properties);
  if (!s.IsNull(1)) row.text = DecodePieces(s.View(1));
  if (!s.IsNull(2)) row.solution_text = DecodePieces(s.View(2));
  return row;
}

void SqliteEngine::RewriteCall(int64_t seq, const std::string&, int64_t time,
                               const CallRow&, const CallRow& after,
                               const TextChanges&) {
  EncodedRow encoded(after);
  Statement s(*use_,
              "UPDATE calls SET last_transaction_time = ?2, properties = "
              "?3, text = ?4, solution_text = ?5 WHERE seq = ?1");
  s.Bind(1, seq).Bind(2, time);
  encoded.BindTo(s, 3).Run();
}

std::vector<int64_t> SqliteEngine::CallPage(const CallQuery& query,
                                            int64_t after_seq, int64_t limit) {
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

std::vector<std::pair<int64_t, int64_t>> SqliteEngine::ChangedCallPage(
    const CallQuery& query,
    const std::optional<std::pair<int64_t, int64_t>>& before, int64_t limit) {
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

// Each group counted by the database, through the indexes the listings
// use; the sold-to partner is read in its stored spelling (call_row_json.h).
CallTally SqliteEngine::TallyCalls(int64_t now, int64_t top) {
  CallTally tally;
  Statement total(*use_, "SELECT count(*) FROM calls");
  if (total.Step()) tally.calls = total.Int(0);
  Statement status(*use_, "SELECT status, count(*) FROM calls GROUP BY status");
  while (status.Step()) tally.by_status[status.Int(0)] += status.Int(1);
  Statement age(*use_,
                "SELECT CASE WHEN last_transaction_time > ?1 - ?2 THEN 0 "
                "WHEN last_transaction_time > ?1 - ?3 THEN 1 WHEN "
                "last_transaction_time > ?1 - ?4 THEN 2 ELSE 3 END AS age, "
                "count(*) FROM calls GROUP BY age");
  age.Bind(1, now)
      .Bind(2, CallTally::kAgeBounds[0])
      .Bind(3, CallTally::kAgeBounds[1])
      .Bind(4, CallTally::kAgeBounds[2]);
  while (age.Step()) tally.by_age[age.Int(0)] = age.Int(1);
  Statement sold_to(*use_,
                    "SELECT sold_to, count(*) AS n FROM calls WHERE sold_to "
                    "IS NOT NULL GROUP BY sold_to ORDER BY n DESC, sold_to "
                    "LIMIT ?1");
  sold_to.Bind(1, top);
  int64_t named = 0;
  while (sold_to.Step())
    if (std::optional<std::string> partner = SpelledText(sold_to.View(0))) {
      tally.by_sold_to.emplace_back(std::move(*partner), sold_to.Int(1));
      named += sold_to.Int(1);
    }
  tally.other_sold_to = tally.calls - named;
  return tally;
}

void SqliteEngine::IndexTexts() {
  Statement(*use_,
            "INSERT INTO calls_text(rowid, description) SELECT seq, "
            "description FROM calls WHERE seq > (SELECT upto FROM "
            "calls_text_upto) AND description IS NOT NULL")
      .Run();
  Statement(*use_,
            "INSERT INTO calls_search(rowid, body) SELECT seq, body FROM "
            "calls_search_body WHERE seq > (SELECT upto FROM "
            "calls_text_upto)")
      .Run();
  Statement(*use_,
            "UPDATE calls_text_upto SET upto = (SELECT max(seq) FROM calls)")
      .Run();
}

int64_t SqliteEngine::RowsToRead(unsigned shape, int64_t limit) {
  return shape & (kText | kIndexedText) ? -1 : limit;
}

int64_t SqliteEngine::Now() { return static_cast<int64_t>(std::time(nullptr)); }

void SqliteEngine::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    sqlite3_free(error);
    RaiseSqlite(db_, "database '" + path_ + "'");
  }
}

}  // namespace sqlite

std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open,
                                                 WriteGroups& groups) {
  return std::make_unique<sqlite::SqliteEngine>(path, open, groups);
}

}  // namespace quillet::standins
