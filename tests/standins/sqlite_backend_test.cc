// The SQLite engine: the shared back-end cases (backend_cases.cc) on a
// database file, and what only a file has.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "backend_failure.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/backend_metrics.h"
#include "quillet/operations/operation.h"
#include "quillet/standins/backend_context.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/store_metrics.h"
#include "quillet/standins/store_pool.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "storage_engine.h"
#include "support/backend_cases.h"
#include "support/raises.h"
#include "support/temp_dir.h"

namespace quillet::standins {
namespace {

INSTANTIATE_TEST_SUITE_P(Sqlite, BackendCaseTest,
                         ::testing::Values(BackendEngine{
                             "Sqlite",
                             [](const testing::TempDir& dir) {
                               return dir.Path("q.db");
                             }}),
                         [](const auto& info) { return info.param.name; });

using SqliteBackendTest = BackendCaseTest;
INSTANTIATE_TEST_SUITE_P(
    Sqlite, SqliteBackendTest,
    ::testing::Values(BackendEngine{
        "File", [](const testing::TempDir& dir) { return dir.Path("q.db"); }}),
    [](const auto& info) { return info.param.name; });

TEST_P(SqliteBackendTest, AFailedStatementLeavesNothingHalfStored) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TRIGGER fail_text BEFORE INSERT ON calls "
                         "WHEN NEW.text LIKE '%boom%' BEGIN SELECT "
                         "RAISE(ABORT, 'injected'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  Variant error;
  Ref<Dictionary> result =
      Create(Details({{u"SOLDTOBP", u"BP-1"}, {u"Q_TEXT", u"boom"}}), error);
  EXPECT_FALSE(result);
  // The cause in words for the caller; the statement only in the log.
  std::string said = ToUtf8(error.AsString());
  EXPECT_NE(said.find("writing the database: injected"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("INSERT"), std::string::npos) << said;
  BackendStore store(db_);
  EXPECT_TRUE(store.Calls().empty());
  EXPECT_EQ(LogLines(), 2);
  std::ifstream log(log_);
  std::string logged(std::istreambuf_iterator<char>(log), {});
  EXPECT_NE(logged.find("(statement: INSERT INTO calls"), std::string::npos);
}

// A database that cannot be used is said when the back end is registered,
// and the registration before it stands.
TEST_P(SqliteBackendTest, AnUnopenableDatabaseIsRefusedWhenRegistered) {
  for (OpenMode open : {OpenMode::kForWriting, OpenMode::kForReading}) {
    try {
      RegisterEmbeddedBackend(dir_.Path("missing/dir/q.db"), {.open = open});
      ADD_FAILURE() << "registered";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kBackendError);
      EXPECT_NE(ToUtf8(e.info().description).find("database"),
                std::string::npos);
    }
    Variant error;
    EXPECT_TRUE(Create(Details({{u"SOLDTOBP", u"BP-1"}}), error));
  }
}

// The calls stored in `path`, by their text, read on a connection of its
// own: what is committed, and nothing else.
std::multiset<std::string> CommittedTexts(const std::string& path) {
  std::multiset<std::string> texts;
  for (const StoredCall& call :
       BackendStore(path, OpenMode::kForReading).Calls())
    texts.insert(call.text.empty() ? "" : call.text[0]);
  return texts;
}

// Writes to -wal files fail as on a full disk while `full` is set, for the
// connections opened while it is registered (as the default).
class FullDiskVfs {
 public:
  FullDiskVfs() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "full-disk";
    vfs_.pAppData = this;
    vfs_.xOpen = &Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~FullDiskVfs() { sqlite3_vfs_unregister(&vfs_); }
  FullDiskVfs(const FullDiskVfs&) = delete;
  FullDiskVfs& operator=(const FullDiskVfs&) = delete;
  std::atomic<bool> full{false};

 private:
  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file,
                  int flags, int* out) {
    auto* self = static_cast<FullDiskVfs*>(vfs->pAppData);
    int rc = self->real_->xOpen(self->real_, name, file, flags, out);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_WAL) && file->pMethods) {
      self->real_methods_ = file->pMethods;
      self->methods_ = *file->pMethods;
      self->methods_.xWrite = &Write;
      file->pMethods = &self->methods_;
      current = self;
    }
    return rc;
  }
  static int Write(sqlite3_file* file, const void* data, int n,
                   sqlite3_int64 at) {
    if (current->full) return SQLITE_FULL;
    return current->real_methods_->xWrite(file, data, n, at);
  }

  static inline FullDiskVfs* current = nullptr;
  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
  const sqlite3_io_methods* real_methods_ = nullptr;
  sqlite3_io_methods methods_{};
};

// Writers of one file that arrive together share a commit, each in its own
// savepoint: one that raises is undone alone, a dry run is undone, and the
// others are stored, each answered only once its write is committed. A
// thread that holds its writes sees them, and they are stored on Commit and
// not without it.
TEST(WriteGroupTest, EachWriterOfAGroupGetsItsOwnOutcome) {
  testing::TempDir dir;
  std::string path = dir.Path("q.db");
  { BackendStore made(path); }
  enum class Kind { kCommit, kRaise, kDryRun };
  const Kind kinds[] = {Kind::kCommit, Kind::kCommit, Kind::kRaise,
                        Kind::kCommit, Kind::kDryRun, Kind::kCommit,
                        Kind::kRaise,  Kind::kCommit, Kind::kCommit,
                        Kind::kDryRun, Kind::kCommit, Kind::kCommit};
  constexpr size_t kWriters = std::size(kinds);
  std::vector<std::unique_ptr<StorageEngine>> engines;
  for (size_t i = 0; i < kWriters; ++i)
    engines.push_back(OpenSqliteStorage(path, OpenMode::kForWriting));
  auto insert = [&](StorageEngine& engine, const std::string& text) {
    CallRow row;
    row.text = {text};
    int64_t seq = engine.NewCallSeq();
    engine.InsertCall(seq, "SC" + std::to_string(seq), "c", 1, row);
  };
  std::atomic<size_t> arrived{0};
  std::vector<std::string> said(kWriters);  // what each writer was told
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kWriters; ++i)
    threads.emplace_back([&, i] {
      std::string text = "writer-" + std::to_string(i);
      ++arrived;
      try {
        engines[i]->WriteTransaction(
            [&] {
              insert(*engines[i], text);
              // The first in holds its turn until the others have come, so
              // that they queue behind it (bounded: 2 s at most).
              for (int wait = 0; i == 0 && arrived < kWriters && wait < 200;
                   ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
              if (kinds[i] == Kind::kRaise) throw std::runtime_error("refused");
            },
            kinds[i] == Kind::kDryRun ? StorageEngine::Ending::kRollBack
                                      : StorageEngine::Ending::kCommit);
        said[i] = CommittedTexts(path).contains(text) ? "stored" : "absent";
      } catch (const std::runtime_error& e) {
        said[i] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();
  std::multiset<std::string> expected;
  for (size_t i = 0; i < kWriters; ++i) {
    SCOPED_TRACE(i);
    switch (kinds[i]) {
      case Kind::kCommit:
        EXPECT_EQ(said[i], "stored");
        expected.insert("writer-" + std::to_string(i));
        break;
      case Kind::kRaise:
        EXPECT_EQ(said[i], "refused");
        break;
      case Kind::kDryRun:
        EXPECT_EQ(said[i], "absent");
        break;
    }
  }
  EXPECT_EQ(CommittedTexts(path), expected);

  // Held writes: seen by the holder's reads through any engine of the file,
  // by no one else's, and stored only once committed.
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit);
    std::string text = commit ? "held-committed" : "held-dropped";
    std::unique_ptr<WriteHold> hold = engines[0]->HoldWrites();
    ASSERT_TRUE(hold);
    engines[0]->WriteTransaction([&] { insert(*engines[0], text); },
                                 StorageEngine::Ending::kCommit);
    std::optional<CallRow> seen;
    engines[1]->ReadTransaction([&] {
      seen = engines[1]->ReadCall(engines[1]->NewCallSeq() - 1, false);
    });
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->text, std::vector<std::string>{text});
    bool seen_elsewhere = true;
    std::thread([&] {
      seen_elsewhere = CommittedTexts(path).contains(text);
    }).join();
    EXPECT_FALSE(seen_elsewhere);
    if (commit) hold->Commit();
    hold.reset();
    EXPECT_EQ(CommittedTexts(path).contains(text), commit);
  }

  // A write that undoes the whole transaction (a trigger's RAISE(ROLLBACK),
  // as a full disk would) takes the held writes before it along: the writes
  // after it are refused rather than committed on their own, and so is the
  // commit.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TRIGGER undo_all BEFORE INSERT ON calls WHEN "
                         "NEW.text LIKE '%undo-all%' BEGIN SELECT "
                         "RAISE(ROLLBACK, 'injected'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::unique_ptr<WriteHold> hold = engines[0]->HoldWrites();
  ASSERT_TRUE(hold);
  for (const char* text : {"held-before", "undo-all", "held-after"}) {
    std::optional<ErrorInfo> raised = testing::RaisedBy([&] {
      engines[0]->WriteTransaction([&] { insert(*engines[0], text); },
                                   StorageEngine::Ending::kCommit);
    });
    EXPECT_EQ(raised.has_value(), text != std::string("held-before")) << text;
  }
  EXPECT_TRUE(hold->Undone());
  std::optional<ErrorInfo> refused;
  {
    ListeningScope heard;
    refused = testing::RaisedBy([&] { hold->Commit(); });
    EXPECT_TRUE(heard.context()->RetryLater());
  }
  ASSERT_TRUE(refused);
  EXPECT_NE(ToUtf8(refused->description)
                .find("injected; a failed write took the writes held with it; "
                      "nothing was written; try again"),
            std::string::npos)
      << ToUtf8(refused->description);
  hold.reset();
  for (const char* text : {"held-before", "undo-all", "held-after"})
    EXPECT_FALSE(CommittedTexts(path).contains(text)) << text;

  // A commit that a full disk refused, which SQLite rolled back itself, is
  // known not written: said as such, to be tried again. The health check
  // commits as a write does, so it sees the full disk too.
  {
    FullDiskVfs vfs;
    std::string full_path = dir.Path("full.db");
    { BackendStore made(full_path); }
    std::unique_ptr<StorageEngine> engine =
        OpenSqliteStorage(full_path, OpenMode::kForWriting);
    std::unique_ptr<WriteHold> full_hold = engine->HoldWrites();
    ASSERT_TRUE(full_hold);
    engine->WriteTransaction([&] { insert(*engine, "on-a-full-disk"); },
                             StorageEngine::Ending::kCommit);
    vfs.full = true;
    ListeningScope heard;
    std::optional<ErrorInfo> full =
        testing::RaisedBy([&] { full_hold->Commit(); });
    bool later = heard.context()->RetryLater();
    bool disk_full = heard.context()->DiskFull();
    vfs.full = false;
    ASSERT_TRUE(full);
    EXPECT_NE(ToUtf8(full->description)
                  .find("committing a transaction: the disk holding the "
                        "database is full; nothing was written; try again"),
              std::string::npos)
        << ToUtf8(full->description);
    EXPECT_TRUE(later);
    EXPECT_TRUE(disk_full);
    full_hold.reset();
    vfs.full = true;
    ListeningScope checked;
    std::optional<ErrorInfo> unhealthy =
        testing::RaisedBy([&] { engine->CheckWritable(); });
    disk_full = checked.context()->DiskFull();
    vfs.full = false;
    ASSERT_TRUE(unhealthy);
    EXPECT_NE(ToUtf8(unhealthy->description)
                  .find("the disk holding the database is full"),
              std::string::npos)
        << ToUtf8(unhealthy->description);
    EXPECT_TRUE(disk_full);
    EXPECT_FALSE(testing::RaisedBy([&] { engine->CheckWritable(); }));
    engine.reset();
    EXPECT_FALSE(CommittedTexts(full_path).contains("on-a-full-disk"));
  }

  // A -wal deleted under the writer: the next group is refused, not written
  // into the deleted file, and what was committed before is kept; the group
  // after it writes to a new -wal.
  {
    std::string wal_path = dir.Path("wal.db");
    { BackendStore made(wal_path); }
    std::unique_ptr<StorageEngine> engine =
        OpenSqliteStorage(wal_path, OpenMode::kForWriting);
    auto write = [&](const char* text) {
      return testing::RaisedBy([&] {
        engine->WriteTransaction([&] { insert(*engine, text); },
                                 StorageEngine::Ending::kCommit);
      });
    };
    ASSERT_FALSE(write("before"));
    ASSERT_TRUE(std::filesystem::remove(wal_path + "-wal"));
    EXPECT_TRUE(engine->Replaced());  // a store the pool hands out no more
    ListeningScope heard;
    std::optional<ErrorInfo> refused = write("refused");
    ASSERT_TRUE(refused);
    EXPECT_NE(ToUtf8(refused->description)
                  .find("-wal file was moved or deleted while in use; nothing "
                        "was written; try again"),
              std::string::npos)
        << ToUtf8(refused->description);
    EXPECT_TRUE(heard.context()->RetryLater());
    EXPECT_FALSE(heard.context()->DiskFull());
    EXPECT_FALSE(write("after"));
    EXPECT_EQ(CommittedTexts(wal_path),
              (std::multiset<std::string>{"before", "after"}));
    engine.reset();
    EXPECT_EQ(CommittedTexts(wal_path),
              (std::multiset<std::string>{"before", "after"}));
  }

  // A file replaced under the writers (moved over) is refused rather than
  // written through the connection of the old one into the new one's -wal.
  std::string other = dir.Path("other.db");
  { BackendStore made(other); }
  ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
  std::optional<ErrorInfo> replaced = testing::RaisedBy([&] {
    engines[0]->WriteTransaction([&] { insert(*engines[0], "replaced"); },
                                 StorageEngine::Ending::kCommit);
  });
  ASSERT_TRUE(replaced);
  EXPECT_NE(ToUtf8(replaced->description)
                .find("moved or replaced while in use; nothing was written"),
            std::string::npos)
      << ToUtf8(replaced->description);
  EXPECT_FALSE(CommittedTexts(path).contains("replaced"));

  // A file renamed onto the name while a process was opening it (a restore
  // racing a starting writer) is away for a moment, not read-only.
  sqlite3* opening = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &opening), SQLITE_OK);
  sqlite3_extended_result_codes(opening, 1);
  ASSERT_EQ(
      sqlite3_exec(opening, "PRAGMA user_version", nullptr, nullptr, nullptr),
      SQLITE_OK);
  { BackendStore made(other); }
  ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
  ASSERT_NE(sqlite3_exec(opening, "PRAGMA journal_mode=DELETE", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  ListeningScope opened;
  std::optional<ErrorInfo> moved =
      testing::RaisedBy([&] { RaiseSqlite(opening, "database"); });
  sqlite3_close(opening);
  ASSERT_TRUE(moved);
  EXPECT_TRUE(opened.context()->RetryLater()) << ToUtf8(moved->description);
}

// Each back-end context holds its own stores: a test's is apart from the
// process's and from another test's. A pool told to stop waiting refuses at
// once a use that finds its every store busy; another context's pool, and
// the process's, still serve the same file.
TEST(BackendContextTest, EachContextHasItsOwnStores) {
  testing::TempDir dir;
  std::string path = dir.Path("q.db");
  BackendContext stopped, serving;
  stopped.Stores().SetLimit(1);
  BorrowedStore held(stopped, path);  // its one store, in use
  stopped.Stores().Stop();
  std::optional<ErrorInfo> busy =
      testing::RaisedBy([&] { BorrowedStore again(stopped, path); });
  ASSERT_TRUE(busy);
  EXPECT_NE(ToUtf8(busy->description).find("the service is stopping"),
            std::string::npos)
      << ToUtf8(busy->description);
  EXPECT_EQ(BorrowedStore(serving, path)->Facts().calls, 0);
  EXPECT_EQ(BorrowedStore(path)->Facts().calls, 0);
  // The wait that failed is counted in its context alone.
  EXPECT_EQ(stopped.Metrics().pool_waits_failed.load(), 1u);
  EXPECT_EQ(serving.Metrics().pool_waits_failed.load(), 0u);
}

// Two front ends in one process, each with the context it made, on one
// database: what one wrote is counted in its context alone, and a request
// key one bound to a request not decided is free in the other.
TEST(BackendContextTest, TwoFrontEndsShareNoCountsNorKeys) {
  testing::TempDir dir;
  operations::Context first, second;
  operations::BackendSetup one{.db = dir.Path("q.db"), .context = &first};
  operations::BackendSetup two{.db = one.db, .context = &second};
  Ref<CallsInterface> calls = operations::OpenCalls(one, true);
  operations::LoadMasterData(
      one, R"({"businessPartners": [{"number": "BP-1", "name": "Acme"}]})");
  EXPECT_GT(operations::ReadBackendMetrics(one).group_writes.count, 0u);
  EXPECT_EQ(operations::ReadBackendMetrics(two).group_writes.count, 0u);

  // An item row without its value, under the key "k": raised before the
  // back end hears of it, and, with no store to keep its answer, bound to
  // the key in its context alone.
  auto create = [&](const char* column, operations::Context& context) {
    operations::PreparedOperation op = operations::Prepare(
        {{"op", "create-item"},
         {"component", "Items"},
         {"values", nlohmann::json::array({nlohmann::json::array({column})})}});
    return operations::Run(*calls, op,
                           {.request_key = "k", .context = &context})
        .verdict;
  };
  using operations::Verdict;
  ASSERT_EQ(create("ITEM", first), Verdict::kRaised);
  EXPECT_EQ(create("SERIALNUMBER", first), Verdict::kKeyConflict);
  EXPECT_EQ(create("SERIALNUMBER", second), Verdict::kRaised);
  EXPECT_EQ(create("ITEM", second), Verdict::kKeyConflict);
}

// A change is stamped with its transaction time, a 32-bit Long: past its
// range the change is refused, naming the date, rather than wrapped.
TEST(TransactionTimeTest, ATimeALongCannotHoldIsRefused) {
  const int64_t last = kTimeEpoch + INT32_MAX;   // 2068-01-19T03:14:07Z
  const int64_t first = kTimeEpoch + INT32_MIN;  // 1931-12-13T20:45:52Z
  const struct {
    int64_t unix_seconds;
    const char* refusal;  // nullptr: stored
  } cases[] = {{last, nullptr},
               {first, nullptr},
               {last + 1, "the clock says 2068-01-19T03:14:08Z"},
               {first - 1, "the clock says 1931-12-13T20:45:51Z"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unix_seconds);
    std::optional<ErrorInfo> raised =
        testing::RaisedBy([&] { StorableTransactionTime(c.unix_seconds); });
    if (!c.refusal) {
      EXPECT_FALSE(raised);
      EXPECT_EQ(StorableTransactionTime(c.unix_seconds),
                c.unix_seconds - kTimeEpoch);
      continue;
    }
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->number, kBackendError);
    EXPECT_NE(ToUtf8(raised->description).find(c.refusal), std::string::npos)
        << ToUtf8(raised->description);
  }
}

}  // namespace
}  // namespace quillet::standins
