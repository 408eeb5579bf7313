// The PostgreSQL engine against a private server that this program starts
// and always stops: the shared back-end cases, many hosts at once, and a
// server restart in the middle of a run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "support/backend_cases.h"
#include "support/cli_runner.h"
#include "support/pg_server.h"
#include "support/raises.h"

namespace quillet::standins {
namespace {

testing::PgServer* server = nullptr;

// One server for the whole program, stopped at its end (and by the
// server's watchdog if the program dies).
class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    server_ = std::make_unique<testing::PgServer>();
    server = server_.get();
  }
  void TearDown() override {
    server = nullptr;
    server_.reset();
  }

 private:
  std::unique_ptr<testing::PgServer> server_;
};
const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

INSTANTIATE_TEST_SUITE_P(Postgres, BackendCaseTest,
                         ::testing::Values(BackendEngine{
                             "Postgres",
                             [](const testing::TempDir&) {
                               return server->NewDatabase();
                             }}),
                         [](const auto& info) { return info.param.name; });

Ref<Dictionary> Details(const std::string& partner, const std::string& text) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  d->Add(u"SOLDTOBP", FromUtf8(partner));
  d->Add(u"Q_TEXT", FromUtf8(text));
  return d;
}

// Four processes (hosts) with two threads each create calls and append to
// a few shared calls at once: every number unique, every call whole, no
// append lost.
TEST(PostgresScaleOutTest, FourHostsTwoThreadsEach) {
  std::string db = server->NewDatabase();
  BackendStore(db).LoadMasterData(R"({"businessPartners":[{"number":"B"}]})");
  constexpr int kHosts = 4, kThreads = 2, kEach = 250, kShared = 5;
  RegisterEmbeddedBackend(db);
  {
    Ref<CallsInterface> calls = NewCalls();
    for (int i = 0; i < kShared; ++i) {
      Variant error;
      ASSERT_TRUE(calls->CreateCall(Details("B", "shared"), error));
    }
  }
  std::vector<pid_t> hosts;
  for (int h = 0; h < kHosts; ++h) {
    pid_t pid = fork();
    if (pid == 0) {
      std::atomic<int> failures{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, h, t] {
          Ref<CallsInterface> calls = NewCalls();
          for (int i = 0; i < kEach; ++i) {
            Variant error;
            std::string tag = std::to_string(h) + "-" + std::to_string(t) +
                              "-" + std::to_string(i);
            Ref<Dictionary> r = calls->CreateCall(
                Details("B", std::string(2100, 'x') + tag), error);
            if (!r || !r->Exists(u"CALLNUMBER")) ++failures;
            Ref<Dictionary> change = MakeRef<Dictionary>();
            change->Add(u"CALLNUMBER",
                        FromUtf8("SC00000" + std::to_string(1 + i % kShared)));
            change->Add(u"OPTION", 7);
            change->Add(u"Q_TEXT", FromUtf8(tag));
            Variant message;
            try {
              calls->UpdateCall(change, message);
            } catch (...) {
              ++failures;
            }
          }
        });
      }
      for (std::thread& t : threads) t.join();
      _exit(failures == 0 ? 0 : 1);
    }
    hosts.push_back(pid);
  }
  for (pid_t pid : hosts) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  BackendStore store(db, BackendStore::Open::kForReading);
  std::set<std::string> tags;
  int appended = 0, created = 0;
  store.ForEachCall({}, [&](const StoredCall& call) {
    if (call.text.size() == 2) {  // a created call: 2,100 + tag characters
      ++created;
      EXPECT_TRUE(tags.insert(call.text[1]).second);
    } else {
      appended += static_cast<int>(call.text.size()) - 1;  // after "shared"
    }
  });
  EXPECT_EQ(created, kHosts * kThreads * kEach);
  EXPECT_EQ(appended, kHosts * kThreads * kEach);
}

// A restart of the server in the middle of a run: operations in flight fail
// clearly with nothing half written, and the next ones succeed on a new
// connection without restarting the process.
TEST(PostgresRestartTest, OperationsGoOnAfterTheServerComesBack) {
  std::string db = server->NewDatabase();
  RegisterEmbeddedBackend(db);
  testing::TempDir dir;
  RegisterFileLog(dir.Path("q.log"));
  std::atomic<bool> stop{false};
  std::atomic<int> stored{0}, failed{0};
  std::string last_error;
  std::thread worker([&] {
    Ref<CallsInterface> calls = NewCalls();
    while (!stop) {
      Variant error;
      Ref<Dictionary> r =
          calls->CreateCall(Details("B", std::string(3000, 'r')), error);
      if (r && r->Exists(u"CALLNUMBER")) {
        ++stored;
      } else {
        ++failed;
        last_error = ToUtf8(ToString(error));
      }
    }
  });
  while (stored < 20) std::this_thread::yield();
  server->Restart();
  int before = stored;
  while (stored < before + 20 && failed < 100000) std::this_thread::yield();
  stop = true;
  worker.join();
  EXPECT_GE(stored, before + 20);
  if (failed > 0) {
    EXPECT_NE(last_error.find("PostgreSQL"), std::string::npos) << last_error;
  }
  int whole = 0;
  BackendStore(db).ForEachCall({}, [&](const StoredCall& call) {
    EXPECT_EQ(call.text.size(), 2u) << call.call_number;
    ++whole;
  });
  EXPECT_EQ(whole, stored.load());
}

// A database with tables that are not Quillet's is refused, untouched.
TEST(PostgresSchemaTest, AForeignDatabaseIsRefused) {
  std::string db = server->NewDatabase();
  server->Sql(db, "CREATE TABLE notes(t text)");
  std::optional<ErrorInfo> refused =
      testing::RaisedBy([&] { BackendStore store(db); });
  ASSERT_TRUE(refused);
  EXPECT_NE(ToUtf8(refused->description).find("not a Quillet database"),
            std::string::npos);
  std::string empty = server->NewDatabase();
  EXPECT_RAISES(BackendStore(empty, BackendStore::Open::kForReading),
                kBackendError);
}

// A database of schema 3 is refused for reading and gains the batch runs
// when opened for writing.
TEST(PostgresSchemaTest, AnEarlierSchemaIsBroughtUpToDate) {
  std::string db = server->NewDatabase();
  { BackendStore made(db); }
  server->Sql(db,
              "DROP TABLE batch_runs; UPDATE quillet_meta SET value = '3' "
              "WHERE name = 'schema_version'");
  EXPECT_RAISES(BackendStore(db, BackendStore::Open::kForReading),
                kBackendError);
  BackendStore store(db);
  store.RecordBatchRun({"A", "/b.jsonl", 2, 1, false});
  ASSERT_TRUE(store.UnfinishedBatchRun("/b.jsonl", "B"));
  EXPECT_EQ(store.UnfinishedBatchRun("/b.jsonl", "B")->identity, "A");
  BackendStore(db, BackendStore::Open::kForReading);  // up to date
}

// The command on a server database: --db takes the URI.
TEST(PostgresCommandTest, TheCommandWritesAndListsOnTheServer) {
  std::string db = server->NewDatabase();
  testing::TempDir dir;
  testing::CliResult created = testing::RunQuillet(
      dir, {"create-call", "--db", db, "--key", "k", "SOLDTOBP=BP-1"});
  EXPECT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(testing::RunQuillet(
                dir, {"create-call", "--db", db, "--key", "k", "SOLDTOBP=BP-1"})
                .out,
            created.out);
  testing::CliResult listed =
      testing::RunQuillet(dir, {"calls", "--db", db, "--json"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("\"CallNumber\":\"SC000001\""), std::string::npos);
  EXPECT_EQ(listed.out.find("SC000002"), std::string::npos);
}

}  // namespace
}  // namespace quillet::standins
