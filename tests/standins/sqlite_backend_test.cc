// The SQLite engine: the shared back-end cases (backend_cases.cc) on a
// database file, and what only a file has.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <fstream>
#include <iterator>

#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/text.h"
#include "support/backend_cases.h"
#include "support/raises.h"

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
