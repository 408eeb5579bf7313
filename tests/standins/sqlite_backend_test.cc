// The SQLite engine: the shared back-end cases (backend_cases.cc) on a
// database file, and what only a file has.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/text.h"
#include "support/backend_cases.h"

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
  EXPECT_NE(ToUtf8(error.AsString()).find("injected"), std::string::npos);
  BackendStore store(db_);
  EXPECT_TRUE(store.Calls().empty());
  EXPECT_EQ(LogLines(), 1);
}

TEST_P(SqliteBackendTest, AnUnopenableDatabaseFailsWithAClearError) {
  RegisterEmbeddedBackend(dir_.Path("missing/dir/q.db"));
  Variant error;
  EXPECT_FALSE(Create(Details({{u"SOLDTOBP", u"BP-1"}}), error));
  EXPECT_NE(ToUtf8(error.AsString()).find("cannot open database"),
            std::string::npos);
}

// Keys are kept for the retention and then pruned by later keyed writes:
// an expired key is new again.
TEST(RequestKeyStoreTest, ExpiredKeysArePrunedByLaterWrites) {
  testing::TempDir dir;
  std::string db = dir.Path("k.db");
  BackendStore store(db);
  CallData call;
  call.properties["SoldToBusinessPartner"] = {"String", "BP-1", 0};
  std::string first = store.CreateCall("C", call, "a").stored->call_number;
  EXPECT_TRUE(store.CreateCall("C", call, "a").replayed);
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle,
                         "UPDATE request_keys SET created_at = created_at - "
                         "8 * 86400",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(handle);
  store.CreateCall("C", call, "b");  // prunes "a"
  SubmitOutcome again = store.CreateCall("C", call, "a");
  EXPECT_FALSE(again.replayed);
  EXPECT_NE(again.stored->call_number, first);
}

}  // namespace
}  // namespace quillet::standins
