// The PostgreSQL engine against a private server that this program starts
// and always stops: the shared back-end cases (directly and through a
// pgbouncer in transaction mode), many hosts at once, a server restart in
// the middle of a run, a commit whose answer is lost, reads during changes,
// and a lock held too long.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "postgres_connection.h"
#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "support/backend_cases.h"
#include "support/cli_runner.h"
#include "support/pg_bouncer.h"
#include "support/pg_proxy.h"
#include "support/pg_server.h"
#include "support/raises.h"
#include "support/shell.h"

namespace quillet::standins {
namespace {

testing::PgServer* server = nullptr;
testing::PgBouncer* bouncer = nullptr;

// One server and one pooler for the whole program, stopped at its end (and
// by their watchdogs if the program dies).
class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    server_ = std::make_unique<testing::PgServer>();
    server = server_.get();
    bouncer_ = std::make_unique<testing::PgBouncer>(server->SocketDir());
    bouncer = bouncer_.get();
  }
  void TearDown() override {
    bouncer = nullptr;
    bouncer_.reset();
    server = nullptr;
    server_.reset();
  }

 private:
  std::unique_ptr<testing::PgServer> server_;
  std::unique_ptr<testing::PgBouncer> bouncer_;
};
const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

// The name of a server database, from its URI.
std::string DatabaseName(const std::string& uri) {
  size_t start = uri.find(":///") + 4;
  return uri.substr(start, uri.find('?') - start);
}

// A new database holding call SC000001, whose sessions wait for a lock at
// most `lock_timeout` (the server's default when empty).
std::string DatabaseWithOneCall(const testing::TempDir& dir,
                                const std::string& lock_timeout) {
  std::string db = server->NewDatabase();
  EXPECT_EQ(testing::RunQuillet(
                dir, {"create-call", "--db", db, "SOLDTOBP=B", "Q_TEXT=a"})
                .status,
            0);
  if (!lock_timeout.empty())
    server->Sql(db, "ALTER DATABASE " + DatabaseName(db) +
                        " SET lock_timeout = '" + lock_timeout + "'");
  return db;
}

INSTANTIATE_TEST_SUITE_P(
    Postgres, BackendCaseTest,
    ::testing::Values(
        // A database that keeps the older string setting, which the SQL
        // sent must read as the default does.
        BackendEngine{"Postgres",
                      [](const testing::TempDir&) {
                        std::string db = server->NewDatabase();
                        server->Sql(db, "ALTER DATABASE " + DatabaseName(db) +
                                            " SET standard_conforming_strings "
                                            "= off");
                        return db;
                      }},
        // A transaction-mode pooler: no named statement outlives
        // a transaction, no session setting is relied on.
        BackendEngine{"Pgbouncer",
                      [](const testing::TempDir&) {
                        return bouncer->Uri(
                            DatabaseName(server->NewDatabase()));
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

// What a command costs the server: opening its store (the schema checked
// without writing: one round trip) and then what the service's create
// costs on a store it holds. Counted by the engine.
TEST(PostgresCostTest, ACommandsCreateCostsTheServicesPlusTheCheck) {
  std::string db = server->NewDatabase();
  BackendStore(db).LoadMasterData(R"({"businessPartners":[{"number":"B"}]})");
  PgTraffic start = PostgresTraffic();
  RegisterEmbeddedBackend(db);
  Ref<CallsInterface> calls = NewCalls();
  Variant error;
  ASSERT_TRUE(calls->CreateCall(Details("B", "first"), error));
  PgTraffic first = PostgresTraffic();
  ASSERT_TRUE(calls->CreateCall(Details("B", "second"), error));
  PgTraffic second = PostgresTraffic();
  EXPECT_EQ(first.round_trips - start.round_trips,
            second.round_trips - first.round_trips + 1);
  EXPECT_EQ(first.statements - start.statements,
            second.statements - first.statements + 4);
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
  // Nothing fails: work cut off before its COMMIT runs again on a new
  // connection once the server is back, and a commit whose answer was cut
  // off is looked up.
  EXPECT_EQ(failed, 0) << last_error;
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

// A database of schema 3 (calls as rows of properties and of text pieces,
// no batch runs) is refused for reading, and opened for writing is brought
// up to date in place: every call whole, to the byte (NUL and invalid
// sequences included), its pieces kept apart, the listing filters (and the
// search) working on what was there (the search too), numbering going on after
// it. One whose call numbers do not follow their sequence numbers is refused
// and left as it was.
TEST(PostgresSchemaTest, AnEarlierSchemaIsBroughtUpToDate) {
  const std::string kEarlierCalls =
      "DROP TABLE batch_runs, calls; "
      "CREATE TABLE calls(seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY "
      "KEY, call_number BYTEA UNIQUE, component BYTEA NOT NULL, "
      "last_transaction_time BIGINT NOT NULL, created_at TIMESTAMPTZ NOT "
      "NULL DEFAULT now()); "
      "CREATE TABLE call_properties(call_number BYTEA NOT NULL, name TEXT "
      "NOT NULL, type TEXT NOT NULL, value BYTEA NOT NULL, PRIMARY "
      "KEY(call_number, name)); "
      "CREATE TABLE call_texts(call_number BYTEA NOT NULL, kind TEXT NOT "
      "NULL, position BIGINT NOT NULL, piece BYTEA NOT NULL, text_mode TEXT "
      "NOT NULL, PRIMARY KEY(call_number, kind, position)); "
      "UPDATE quillet_meta SET value = '3' WHERE name = 'schema_version'; "
      "INSERT INTO calls(call_number, component, last_transaction_time) "
      "VALUES('SC000001', 'C', 7), ('SC000002', 'C', 8); "
      "INSERT INTO call_properties VALUES"
      "('SC000001', 'CallNumber', 'String', 'SC000001'),"
      "('SC000001', 'CallDescription', 'String', '\\x6100ff62'),"
      "('SC000001', 'SoldToBusinessPartner', 'String', 'B'),"
      "('SC000001', 'Status', 'Long', '20'),"
      "('SC000002', 'CallNumber', 'String', 'SC000002'); "
      "INSERT INTO call_texts VALUES('SC000001', 'Text', 1, '\\x00ff', ''),"
      "('SC000001', 'Text', 2, 'two', 'a'),"
      "('SC000001', 'SolutionText', 1, 'fix', '');";
  std::string bad = server->NewDatabase();
  { BackendStore made(bad); }
  server->Sql(bad, kEarlierCalls +
                       " UPDATE calls SET call_number = 'X1' WHERE seq = 2");
  std::optional<ErrorInfo> refused =
      testing::RaisedBy([&] { BackendStore store(bad); });
  ASSERT_TRUE(refused);
  EXPECT_NE(ToUtf8(refused->description).find("does not follow"),
            std::string::npos);
  server->Sql(bad, "SELECT call_number, value FROM call_properties");

  std::string db = server->NewDatabase();
  { BackendStore made(db); }
  server->Sql(db, kEarlierCalls);
  EXPECT_RAISES(BackendStore(db, BackendStore::Open::kForReading),
                kBackendError);
  BackendStore store(db);
  std::map<std::string, StoredCall> calls;
  store.ForEachCall(
      {}, [&](const StoredCall& c) { calls.emplace(c.call_number, c); });
  ASSERT_EQ(calls.size(), 2u);
  const StoredCall* one = &calls.at("SC000001");
  EXPECT_EQ(one->properties.at(CallProperty::CallDescription).text,
            std::string("a\0\xff"
                        "b",
                        4));
  EXPECT_EQ(one->properties.at(CallProperty::Status),
            (StoredValue{VarType::Long, "", 20}));
  EXPECT_EQ(one->text,
            (std::vector<std::string>{std::string("\0\xff", 2), "two"}));
  EXPECT_EQ(one->solution_text, std::vector<std::string>{"fix"});
  const StoredCall* two = &calls.at("SC000002");
  EXPECT_TRUE(two->text.empty() && two->solution_text.empty());
  for (CallQuery query : {CallQuery{.status = 20}, CallQuery{.sold_to = "B"},
                          CallQuery{.text = std::string("\0\xff", 2)},
                          CallQuery{.words = "TWO fix"}}) {
    std::vector<std::string> found;
    store.ForEachCall(
        query, [&](const StoredCall& c) { found.push_back(c.call_number); });
    EXPECT_EQ(found, std::vector<std::string>{"SC000001"});
  }
  CallData next;
  next.properties[CallProperty::SoldToBusinessPartner] = {VarType::String, "B",
                                                          0};
  EXPECT_EQ(store.CreateCall("C", next, "").stored->call_number, "SC000003");
  store.RecordBatchRun({"A", "/b.jsonl", 2, 1, false});
  ASSERT_TRUE(store.StandingBatchRun("/b.jsonl", "B"));
  BackendStore(db, BackendStore::Open::kForReading);  // up to date
}

// The command on a server database, directly and through the pooler: --db
// takes the URI.
TEST(PostgresCommandTest, TheCommandWritesAndListsOnTheServer) {
  for (bool pooled : {false, true}) {
    SCOPED_TRACE(pooled ? "through pgbouncer" : "directly");
    std::string db = server->NewDatabase();
    if (pooled) db = bouncer->Uri(DatabaseName(db));
    testing::TempDir dir;
    testing::CliResult created = testing::RunQuillet(
        dir, {"create-call", "--db", db, "--key", "k", "SOLDTOBP=BP-1"});
    EXPECT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(testing::RunQuillet(dir, {"create-call", "--db", db, "--key", "k",
                                        "SOLDTOBP=BP-1"})
                  .out,
              created.out);
    testing::CliResult listed =
        testing::RunQuillet(dir, {"calls", "--db", db, "--json"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("\"CallNumber\":\"SC000001\""),
              std::string::npos);
    EXPECT_EQ(listed.out.find("SC000002"), std::string::npos);
  }
}

// Values are answered in binary form: a text holding every byte value
// comes back byte for byte, created and appended to, directly and through
// the pooler (and so does every other column the call's read decodes).
TEST(PostgresValueTest, EveryByteValueComesBackAsStored) {
  std::string every(256, '\0');
  for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<char>(i);
  for (bool pooled : {false, true}) {
    SCOPED_TRACE(pooled ? "through pgbouncer" : "directly");
    std::string db = server->NewDatabase();
    if (pooled) db = bouncer->Uri(DatabaseName(db));
    BackendStore store(db);
    CallData call;
    call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                            every, 0};
    call.text = StoredText{{every, ""}, ""};
    call.solution_text = StoredText{{every}, ""};
    ASSERT_TRUE(store.CreateCall("C", call).stored);
    CallData change;
    change.properties[CallProperty::CallNumber] = {VarType::String, "SC000001",
                                                   0};
    change.text = StoredText{{every}, "a"};
    ASSERT_TRUE(store.ChangeCall("C", change).stored);
    std::optional<StoredCall> read = store.Call("SC000001");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->properties.at(CallProperty::SoldToBusinessPartner).text,
              every);
    EXPECT_EQ(read->text, (std::vector<std::string>{every, "", every}));
    EXPECT_EQ(read->solution_text, std::vector<std::string>{every});
  }
}

// A server that refuses every connection as PostgreSQL does while it
// cannot take any yet (57P03), in one of its wordings, is waited for as one
// that is away: the command fails as busy (3) once the reconnect window has
// passed, never at once as refused (2), and says why without libpq's layout.
TEST(PostgresCommandTest, AServerNotYetAcceptingConnectionsIsWaitedFor) {
  for (const char* why :
       {"the database system is not yet accepting connections",
        "the database system is not accepting connections",
        "the database system is starting up"}) {
    SCOPED_TRACE(why);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 16), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::string fields = std::string("SFATAL") + '\0' + "VFATAL" + '\0' +
                         "C57P03" + '\0' + "M" + why + '\0' + '\0';
    std::string refusal = "E";
    for (int shift : {24, 16, 8, 0})
      refusal += static_cast<char>((fields.size() + 4) >> shift);
    refusal += fields;
    std::atomic<int> refused{0};
    std::thread refuser([&] {
      // Refuses each connection after its startup packet, until closed.
      for (int client; (client = accept(listener, nullptr, nullptr)) >= 0;) {
        char startup[1024];
        if (recv(client, startup, sizeof startup, 0) > 0) {
          send(client, refusal.data(), refusal.size(), MSG_NOSIGNAL);
          ++refused;
        }
        close(client);
      }
    });
    setenv("QUILLET_PG_RECONNECT_SECONDS", "1", 1);
    testing::TempDir dir;
    testing::CliResult result = testing::RunQuillet(
        dir,
        {"create-call", "--db",
         "postgresql://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) +
             "/quillet?sslmode=disable&gssencmode=disable",
         "SOLDTOBP=B"});
    unsetenv("QUILLET_PG_RECONNECT_SECONDS");
    shutdown(listener, SHUT_RDWR);
    close(listener);
    refuser.join();
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_GT(refused, 2);  // tried again and again
    EXPECT_NE(result.err.find(why), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("FATAL"), std::string::npos) << result.err;
  }
}

// A server with every connection slot taken (SQLSTATE 53300) that answers
// in German: the command waits with backoff, takes a slot freed meanwhile,
// and when none is freed within the reconnect window exits 3 ("try
// again"), in one line. The server's code decides, never its words.
TEST(PostgresCommandTest, AFullServerInAnotherLanguageIsWaitedFor) {
  testing::TempDir locales;
  std::string folder = locales.Path("");
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  std::system(("localedef -c -i de_DE -f UTF-8 " + folder +
               "de_DE.UTF-8 >/dev/null 2>&1")
                  .c_str());
  ASSERT_TRUE(std::filesystem::exists(folder + "de_DE.UTF-8"));
  setenv("LOCPATH", folder.c_str(), 1);  // for the server's processes
  testing::PgServer full(
      "-c lc_messages=de_DE.UTF-8 -c max_connections=3 "
      "-c superuser_reserved_connections=0 -c max_wal_senders=0");
  unsetenv("LOCPATH");
  std::string db = full.NewDatabase();
  { BackendStore store(db); }
  std::vector<PGconn*> held;
  for (int i = 0; i < 3; ++i) held.push_back(PQconnectdb(db.c_str()));
  PGconn* refused = PQconnectdb(db.c_str());
  ASSERT_NE(std::string(PQerrorMessage(refused)).find("zu viele"),
            std::string::npos)
      << PQerrorMessage(refused);
  PQfinish(refused);
  testing::TempDir dir;
  setenv("QUILLET_PG_RECONNECT_SECONDS", "2", 1);
  testing::CliResult full_run =
      testing::RunQuillet(dir, {"create-call", "--db", db, "SOLDTOBP=B"});
  setenv("QUILLET_PG_RECONNECT_SECONDS", "20", 1);
  std::thread freeing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    PQfinish(held.back());
  });
  testing::CliResult freed_run =
      testing::RunQuillet(dir, {"create-call", "--db", db, "SOLDTOBP=B"});
  unsetenv("QUILLET_PG_RECONNECT_SECONDS");
  freeing.join();
  held.pop_back();
  for (PGconn* conn : held) PQfinish(conn);
  EXPECT_EQ(full_run.status, 3) << full_run.err;
  EXPECT_NE(full_run.err.find("try again"), std::string::npos);
  EXPECT_EQ(full_run.err.find("FATAL"), std::string::npos);
  EXPECT_EQ(std::count(full_run.err.begin(), full_run.err.end(), '\n'), 1)
      << full_run.err;
  EXPECT_EQ(freed_run.status, 0) << freed_run.err;
}

// The answer to COMMIT is lost on the way back (a proxy passes the COMMIT
// to the server and cuts the connection): the command finds out what
// happened and answers it, or says the outcome is unknown; never "nothing
// was written" for what was written, never written twice.
TEST(PostgresCommitTest, ALostAnswerToCommitIsFoundOutNeverDenied) {
  testing::PgProxy proxy(server->SocketDir() + "/.s.PGSQL.5432");
  setenv("QUILLET_PG_RECONNECT_SECONDS", "1", 1);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* statement;  // the cut follows the COMMIT after it
    bool refuse_after;      // the server cannot be reached again
    int status;
    const char* said;  // in standard error
    size_t pieces;     // of SC000001's text afterwards
  };
  const Case cases[] = {
      {"create",
       {"create-call", "SOLDTOBP=B", "Q_TEXT=first"},
       "INSERT INTO calls",
       false,
       0,
       "",
       1},
      {"append",
       {"update-call", "CALLNUMBER=SC000001", "OPTION=7", "Q_TEXT=more"},
       "UPDATE calls",
       false,
       0,
       "",
       2},
      {"create, server gone",
       {"create-call", "SOLDTOBP=B", "Q_TEXT=first"},
       "INSERT INTO calls",
       true,
       6,
       "outcome unknown",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = DatabaseName(server->NewDatabase());
    std::string db = proxy.Uri(name);
    testing::TempDir dir;
    if (std::string(c.args[0]) == "update-call") {
      ASSERT_EQ(testing::RunQuillet(dir, {"create-call", "--db", db,
                                          "SOLDTOBP=B", "Q_TEXT=first"})
                    .status,
                0);
    }
    proxy.DropCommitAnswer(c.statement, c.refuse_after);
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--db", db});
    testing::CliResult run = testing::RunQuillet(dir, args);
    EXPECT_TRUE(proxy.Dropped());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("nothing"), std::string::npos) << run.err;
    proxy.DropCommitAnswer("", false);
    BackendStore store(server->Uri(name), BackendStore::Open::kForReading);
    std::vector<StoredCall> calls = store.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text.size(), c.pieces);
  }
  unsetenv("QUILLET_PG_RECONNECT_SECONDS");
}

// The commit window is COMMIT's own: a write that goes with it and waits
// longer (here its key's row, which another transaction inserted and rolls
// back after 2.5 s) is carried out once, not cut, run again (a new call
// number) nor reported lost.
TEST(PostgresCommitTest, TheCommitWindowDoesNotCutTheWritesBeforeIt) {
  std::string db = server->NewDatabase();
  { BackendStore store(db); }
  PGconn* holder = PQconnectdb(db.c_str());
  PQclear(PQexec(holder, "BEGIN"));
  PQclear(PQexec(holder,
                 "INSERT INTO request_keys(key, kind, digest, answer, "
                 "created_at, expires_at) VALUES('k', '', '', '', 0, 0)"));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    PQclear(PQexec(holder, "ROLLBACK"));
  });
  setenv("QUILLET_PG_COMMIT_SECONDS", "1", 1);
  testing::TempDir dir;
  testing::CliResult run = testing::RunQuillet(
      dir, {"create-call", "--db", db, "--key", "k", "SOLDTOBP=B"});
  unsetenv("QUILLET_PG_COMMIT_SECONDS");
  release.join();
  PQfinish(holder);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("SC000001"), std::string::npos) << run.out;
  EXPECT_EQ(BackendStore(db).Calls().size(), 1u);
}

// How many times `part` occurs in `text`.
long Occurrences(const std::string& text, const std::string& part) {
  long n = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size()))
    ++n;
  return n;
}

// A batch whose back end goes away stops at the line that met it, with
// the status of a database away (3) or, when that line's COMMIT went
// unanswered, of an outcome unknown (6); it says how far it got, and run
// again (the back end back) it goes on from there, nothing stored twice.
// Away: a pooler killed while line 3 waits for a lock, and not started
// again. Unknown: line 1's answer to COMMIT lost, the server unreachable.
TEST(PostgresBatchTest, ABatchStopsWhereItsBackEndWentAwayAndGoesOn) {
  struct Case {
    const char* name;
    bool pooled;  // else through the proxy that loses an answer
    int status;
    const char* said;
    long outcomes;  // written, the stopping line's included
    long replayed;  // when run again: the lines carried out before
  };
  const Case cases[] = {
      {"pooler gone", true, 3, "line 3: ", 3, 2},
      {"answer lost", false, 6, "line 1: outcome unknown", 1, 1},
  };
  setenv("QUILLET_PG_RECONNECT_SECONDS", "1", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string direct = server->NewDatabase(), name = DatabaseName(direct);
    {
      BackendStore(direct).CreateCall("C", [] {
        CallData call;
        call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                                "B", 0};
        return call;
      }());
    }
    std::optional<testing::PgBouncer> pooler;
    std::optional<testing::PgProxy> proxy;
    std::string db;
    if (c.pooled) {
      db = pooler.emplace(server->SocketDir()).Uri(name);
    } else {
      db = proxy.emplace(server->SocketDir() + "/.s.PGSQL.5432").Uri(name);
      proxy->DropCommitAnswer("INSERT INTO calls", true);
    }
    testing::CliFolder folder;
    folder.Write(
        "b.jsonl",
        R"({"op":"create-call","details":{"SOLDTOBP":"B"}})"
        "\n"
        R"({"op":"create-call","details":{"SOLDTOBP":"B"}})"
        "\n"
        R"({"op":"update-call","details":{"CALLNUMBER":"SC000001","OPTION":7,"Q_TEXT":"x"}})"
        "\n"
        R"({"op":"create-call","details":{"SOLDTOBP":"B"}})"
        "\n");
    PGconn* holder = PQconnectdb(direct.c_str());
    PQclear(PQexec(holder, "BEGIN"));
    PQclear(PQexec(holder, "SELECT 1 FROM calls WHERE seq = 1 FOR UPDATE"));
    std::thread kill([&] {
      if (!c.pooled) return;
      // Once line 3 waits for the row lock: the pooler dies, then the
      // lock is let go.
      for (int i = 0; i < 400; ++i) {
        PGconn* look = PQconnectdb(direct.c_str());
        PGresult* r = PQexec(look,
                             "SELECT 1 FROM pg_stat_activity WHERE "
                             "wait_event_type = 'Lock'");
        bool waiting = PQntuples(r) > 0;
        PQclear(r);
        PQfinish(look);
        if (waiting) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      pooler->Kill();
    });
    testing::CliResult run = folder.Quillet({"batch", "--db", db, "b.jsonl"});
    kill.join();
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("running the batch again goes on"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), c.outcomes)
        << run.out;
    if (proxy) proxy->DropCommitAnswer("", false);
    // Run again, directly: the lines done are answered again, the rest run.
    testing::CliResult again =
        folder.Quillet({"batch", "--db", direct, "b.jsonl"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(Occurrences(again.out, "\"replayed\":true"), c.replayed)
        << again.out;
    BackendStore store(direct, BackendStore::Open::kForReading);
    EXPECT_EQ(store.Calls().size(), 4u);
    EXPECT_EQ(store.Call("SC000001")->text.size(), 1u);
  }
  unsetenv("QUILLET_PG_RECONNECT_SECONDS");
}

// A COMMIT that waits on a synchronous standby that is away (or whose
// answer never comes on a connection that stays open) is given up after
// QUILLET_PG_COMMIT_SECONDS: cancelled, and its outcome looked up. The
// primary has committed it, so the command answers that, once; it never
// waits without end, nor says nothing was written.
// While it lives, the shared server's commits wait for a synchronous
// standby named "absent", which never comes.
struct AbsentStandby {
  AbsentStandby() { Set("'absent'"); }
  ~AbsentStandby() { Set("DEFAULT"); }
  static void Set(const std::string& names) {
    server->Sql(server->Uri("postgres"),
                "ALTER SYSTEM SET synchronous_standby_names = " + names);
    server->Sql(server->Uri("postgres"), "SELECT pg_reload_conf()");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
};

// The commit window passes while COMMIT waits for the standby: the wait is
// cancelled, the call is stored on this server, and the command says that
// no standby confirmed it.
TEST(PostgresCommitTest, ACommitWaitingForAnAbsentStandbyEnds) {
  // A database made before, and an empty one, whose schema is made then.
  std::string made = server->NewDatabase(), empty = server->NewDatabase();
  { BackendStore store(made); }
  AbsentStandby absent;
  {
    // The operator is told, in words, that writes would wait (health: exit
    // 1), and status shows why; neither waits itself.
    testing::TempDir dir;
    testing::CliResult health =
        testing::RunQuillet(dir, {"backend", "health", "--db", made});
    EXPECT_EQ(health.status, 1) << health.out << health.err;
    EXPECT_NE(health.err.find("waits for 1 synchronous standby"),
              std::string::npos)
        << health.err;
    testing::CliResult status =
        testing::RunQuillet(dir, {"backend", "status", "--json", "--db", made});
    EXPECT_EQ(status.status, 0) << status.err;
    for (const char* part : {R"("synchronous_standby_names":"absent")",
                             R"("standbys":[])", "writes stall"})
      EXPECT_NE(status.out.find(part), std::string::npos) << status.out;
  }
  for (const std::string& db : {made, empty}) {
    SCOPED_TRACE(db == made ? "made before" : "empty");
    setenv("QUILLET_PG_COMMIT_SECONDS", "1", 1);
    testing::TempDir dir;
    auto start = std::chrono::steady_clock::now();
    testing::CliResult run = testing::RunQuillet(
        dir, {"create-call", "--db", db, "--key", "k", "SOLDTOBP=B"});
    unsetenv("QUILLET_PG_COMMIT_SECONDS");
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(10));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("nothing"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("warning: stored on the primary database server, "
                           "but not confirmed by its synchronous standby"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.out.find(R"("replication": "unconfirmed")"),
              std::string::npos)
        << run.out;
    int calls = 0;
    BackendStore(db).ForEachCall({}, [&](const StoredCall&) { ++calls; });
    EXPECT_EQ(calls, 1);
  }
}

// A pg_dump of a Quillet database restored (pg_restore) into a new server
// is one there: its calls and request keys kept, new calls numbered after
// the restored ones.
TEST(PostgresBackupTest, ADumpRestoredIntoANewServerTakesWrites) {
  testing::TempDir dir;
  std::string db = DatabaseWithOneCall(dir, "");  // SC000001
  ASSERT_EQ(testing::RunQuillet(dir, {"create-call", "--db", db, "--key", "k",
                                      "SOLDTOBP=B", "Q_TEXT=kept"})
                .status,
            0);  // SC000002
  std::string bin = testing::PgServerBin(), dump = dir.Path("quillet.dump");
  ASSERT_EQ(std::system((bin + "/pg_dump -Fc -f " + testing::ShellQuote(dump) +
                         " " + testing::ShellQuote(db))
                            .c_str()),
            0);
  testing::PgServer target;
  std::string restored = target.NewDatabase();
  ASSERT_EQ(std::system((bin + "/pg_restore --no-owner -d " +
                         testing::ShellQuote(restored) + " " +
                         testing::ShellQuote(dump))
                            .c_str()),
            0);
  testing::CliResult created = testing::RunQuillet(
      dir, {"create-call", "--db", restored, "SOLDTOBP=B", "Q_TEXT=new"});
  EXPECT_EQ(created.status, 0) << created.err;
  EXPECT_NE(created.out.find("SC000003"), std::string::npos) << created.out;
  // The key came along: the same request is answered as the first time.
  testing::CliResult again =
      testing::RunQuillet(dir, {"create-call", "--db", restored, "--key", "k",
                                "SOLDTOBP=B", "Q_TEXT=kept"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("SC000002"), std::string::npos) << again.out;
  std::vector<std::string> texts;
  BackendStore(restored).ForEachCall({}, [&](const StoredCall& call) {
    texts.push_back(call.call_number + " " + call.text.at(0));
  });
  EXPECT_EQ(texts,
            (std::vector<std::string>{"SC000001 a\r\n", "SC000002 kept\r\n",
                                      "SC000003 new\r\n"}));
}

// Writers replace a call's description and its solution text together
// while a reader reads the call and lists it: every read shows one change
// whole, never the description of one and the solution of another.
TEST(PostgresSnapshotTest, ReadsNeverShowHalfAChange) {
  std::string db = server->NewDatabase();
  auto change = [](const std::string& tag) {
    CallData call;
    call.properties[CallProperty::CallNumber] = {VarType::String, "SC000001",
                                                 0};
    call.properties[CallProperty::CallDescription] = {VarType::String, tag, 0};
    call.solution_text = StoredText{{tag}, ""};
    return call;
  };
  {
    BackendStore store(db);
    CallData first = change("w-0");
    first.properties.erase(CallProperty::CallNumber);
    first.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                             "B", 0};
    ASSERT_TRUE(store.CreateCall("Calls", first).stored);
  }
  constexpr int kWriters = 3, kChanges = 150;
  std::atomic<int> writing{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      BackendStore store(db);
      for (int i = 1; i <= kChanges; ++i)
        store.ChangeCall(
            "Calls", change("w" + std::to_string(w) + "-" + std::to_string(i)));
      --writing;
    });
  int reads = 0, torn = 0;
  BackendStore reader(db, BackendStore::Open::kForReading);
  auto check = [&](const StoredCall& call) {
    ++reads;
    if (call.solution_text.size() != 1 ||
        call.properties.at(CallProperty::CallDescription).text !=
            call.solution_text[0])
      ++torn;
  };
  while (writing > 0) {
    if (std::optional<StoredCall> call = reader.Call("SC000001")) check(*call);
    reader.ForEachCall({}, check);
  }
  for (std::thread& t : writers) t.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

// A follower pages through the listing with `after` while six writers
// create calls: it sees every call, none skipped for having committed after
// a higher number was read.
TEST(PostgresFollowerTest, AFollowerMissesNoCall) {
  std::string db = server->NewDatabase();
  BackendStore{db};  // the schema, before the writers start
  constexpr int kWriters = 6, kEach = 120;
  std::atomic<int> writing{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&] {
      BackendStore store(db);
      CallData call;
      call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                              "B", 0};
      for (int i = 0; i < kEach; ++i) store.CreateCall("Calls", call);
      --writing;
    });
  BackendStore follower(db, BackendStore::Open::kForReading);
  std::set<std::string> seen;
  std::optional<std::string> last;
  auto follow = [&] {
    CallQuery query;
    query.after = last;
    follower.ForEachCall(query, [&](const StoredCall& call) {
      seen.insert(call.call_number);
      last = call.call_number;
    });
  };
  while (writing > 0) follow();
  for (std::thread& t : writers) t.join();
  follow();
  EXPECT_EQ(seen.size(), size_t{kWriters * kEach});
  EXPECT_EQ(follower.Calls().size(), size_t{kWriters * kEach});
}

// A session holds a call's row locked: a change of that call waits only as
// long as the bound (the server's own setting when the operator made one,
// else Quillet's), then fails as busy with nothing written and no SQL in
// the message.
TEST(PostgresWaitTest, ALockedCallFailsBusyInsteadOfWaitingForever) {
  struct Case {
    const char* setting;  // the operator's lock_timeout, or none
    const char* held;     // what another session holds
    std::vector<std::string> args;
  };
  const std::vector<std::string> update = {"update-call", "CALLNUMBER=SC000001",
                                           "OPTION=7", "Q_TEXT=b"};
  for (const Case& c :
       {Case{"200ms", "SELECT 1 FROM calls WHERE seq = 1 FOR UPDATE", update},
        Case{"", "SELECT 1 FROM calls WHERE seq = 1 FOR UPDATE", update},
        // The lock hosts take to make the schema (of an empty database:
        // one up to date is only read, without it).
        Case{"",
             "SELECT pg_advisory_xact_lock(1364937812)",
             {"create-call", "SOLDTOBP=B"}}}) {
    const char* setting = c.setting;
    SCOPED_TRACE(std::string(*setting ? setting : "Quillet's bound") + ", " +
                 c.held);
    testing::TempDir dir;
    bool empty = c.args[0] == "create-call";
    std::string db =
        empty ? server->NewDatabase() : DatabaseWithOneCall(dir, setting);
    PGconn* holder = PQconnectdb(db.c_str());
    PQclear(PQexec(holder, "BEGIN"));
    PQclear(PQexec(holder, c.held));
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--db", db});
    testing::CliResult run = testing::RunQuillet(dir, args);
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("busy"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("try again"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("SELECT"), std::string::npos) << run.err;
    if (!empty) {
      EXPECT_EQ(BackendStore(db).Call("SC000001")->text.size(), 1u);
    }
  }
}

// Runs `quillet serve --workers 3` on `db` (four stores at most), sets
// the scene, sends each request on its own connection, sends SIGTERM once
// they wait and answers the exit status, the time the exit took, and each
// request's answer.
struct Stopped {
  int status = -1;
  std::chrono::steady_clock::duration took{};
  std::vector<std::string> answers;
};
Stopped StopServeWhileWaiting(const std::string& db,
                              const std::function<void()>& scene,
                              const std::vector<std::string>& requests) {
  testing::TempDir dir;
  pid_t serve = fork();
  if (serve == 0) {
    if (!freopen(dir.Path("serve.err").c_str(), "w", stderr)) _exit(3);
    setenv("QUILLET_PG_RECONNECT_SECONDS", "60", 1);
    std::string log = dir.Path("q.log");
    execl(QUILLET_CLI_PATH, QUILLET_CLI_PATH, "serve", "--listen",
          "127.0.0.1:0", "--workers", "3", "--db", db.c_str(), "--log",
          log.c_str(), nullptr);
    _exit(3);
  }
  Stopped stopped;
  int port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {  // up to 10 s
    std::ifstream err(dir.Path("serve.err"));
    std::string line;
    while (std::getline(err, line))
      if (line.rfind("listening on 127.0.0.1:", 0) == 0)
        port = std::stoi(line.substr(23));
    if (port == 0) usleep(50000);
  }
  std::vector<int> socks;
  if (port > 0) {
    scene();
    for (const std::string& request : requests) {
      int sock = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(sock, reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == 0)
        send(sock, request.data(), request.size(), MSG_NOSIGNAL);
      socks.push_back(sock);
    }
    sleep(2);  // the requests now wait
  }
  auto start = std::chrono::steady_clock::now();
  kill(serve, SIGTERM);
  for (int i = 0; i < 100 && stopped.status < 0; ++i) {  // up to 10 s
    int raw = 0;
    if (waitpid(serve, &raw, WNOHANG) == serve)
      stopped.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    else
      usleep(100000);
  }
  stopped.took = std::chrono::steady_clock::now() - start;
  if (stopped.status < 0) {
    kill(serve, SIGKILL);
    waitpid(serve, nullptr, 0);
  }
  for (int sock : socks) {
    char answer[4096] = {};
    ssize_t n = recv(sock, answer, sizeof answer - 1, MSG_DONTWAIT);
    stopped.answers.push_back(n > 0 ? answer : "");
    close(sock);
  }
  return stopped;
}

std::string Post(const std::string& path, const std::string& body) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
         "application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// While requests of `quillet serve` wait on PostgreSQL, the first SIGTERM
// ends the waits: each request answers 503, nothing written, and the
// service exits 0 within a second or two instead of a minute. The waits: a
// row lock under an operator's lock_timeout of a minute; and a server gone
// (killed), where one request waits for the server on the store it has
// and two for the server while opening a new store.
TEST(PostgresWaitTest, TheFirstSigtermEndsEveryWaitOnTheDatabase) {
  testing::TempDir dir;
  std::string db = DatabaseWithOneCall(dir, "60s");
  PGconn* holder = PQconnectdb(db.c_str());
  Stopped locked = StopServeWhileWaiting(
      db,
      [&] {
        PQclear(PQexec(holder, "BEGIN"));
        PQclear(PQexec(holder, "SELECT 1 FROM calls WHERE seq = 1 FOR UPDATE"));
      },
      {Post("/calls/SC000001/changes", R"({"OPTION":7,"Q_TEXT":"b"})")});
  PQclear(PQexec(holder, "ROLLBACK"));
  PQfinish(holder);
  EXPECT_EQ(BackendStore(db).Call("SC000001")->text.size(), 1u);

  testing::PgServer doomed;
  std::string call = Post("/calls", R"({"SOLDTOBP":"B","Q_TEXT":"a"})");
  Stopped away = StopServeWhileWaiting(
      doomed.NewDatabase(), [&] { doomed.Kill(); }, {call, call, call});

  for (const Stopped& stopped : {locked, away}) {
    EXPECT_EQ(stopped.status, 0);
    EXPECT_LT(stopped.took, std::chrono::seconds(3));
    for (const std::string& answer : stopped.answers)
      EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
  }
}

// An operator cancels the wait of a COMMIT for an absent synchronous
// standby (pg_cancel_backend): the command and the service answer that the
// call is stored, on the primary only: exit 0 with a warning, and 201 with
// the Quillet-Replication header and the "replication" field.
TEST(PostgresCommitTest, AStandbyWaitCancelledByAnOperatorIsSaid) {
  std::string db = server->NewDatabase();
  { BackendStore store(db); }
  AbsentStandby absent;
  // Cancels every Quillet session that waits for the standby, once one is
  // seen (for 10 s at most).
  auto canceller = [&] {
    return std::thread([db] {
      PGconn* conn = PQconnectdb(db.c_str());
      for (int i = 0; i < 200; ++i) {
        PGresult* r = PQexec(
            conn,
            "SELECT count(pg_cancel_backend(pid)) FROM pg_stat_activity WHERE "
            "wait_event = 'SyncRep' AND application_name = 'quillet'");
        bool done =
            PQntuples(r) == 1 && std::string(PQgetvalue(r, 0, 0)) != "0";
        PQclear(r);
        if (done) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      PQfinish(conn);
    });
  };
  std::thread cli_cancel = canceller();
  testing::TempDir dir;
  testing::CliResult run =
      testing::RunQuillet(dir, {"create-call", "--db", db, "SOLDTOBP=B"});
  cli_cancel.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("quillet: warning: stored on the primary"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find(R"("replication": "unconfirmed")"), std::string::npos)
      << run.out;

  std::thread http_cancel;
  Stopped served = StopServeWhileWaiting(
      db, [&] { http_cancel = canceller(); },
      {Post("/calls", R"({"SOLDTOBP":"B","Q_TEXT":"a"})")});
  http_cancel.join();
  ASSERT_EQ(served.answers.size(), 1u);
  EXPECT_EQ(served.answers[0].rfind("HTTP/1.1 201", 0), 0u)
      << served.answers[0];
  EXPECT_NE(served.answers[0].find("Quillet-Replication: unconfirmed"),
            std::string::npos);
  EXPECT_NE(served.answers[0].find(R"("replication":"unconfirmed")"),
            std::string::npos);
  int calls = 0;
  BackendStore(db).ForEachCall({}, [&](const StoredCall&) { ++calls; });
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace quillet::standins

namespace quillet::standins {
namespace {

// Four hosts start at once on new, empty databases: each finds the schema
// whole (made by whichever came first), never half made and taken for a
// stranger's database.
TEST(PostgresSchemaTest, HostsStartingTogetherAgreeOnTheSchema) {
  constexpr int kDatabases = 12, kHosts = 4;
  std::atomic<int> refused{0};
  std::string last;
  std::mutex mutex;
  for (int d = 0; d < kDatabases; ++d) {
    std::string db = server->NewDatabase();
    std::atomic<int> waiting{kHosts};
    std::vector<std::thread> hosts;
    for (int h = 0; h < kHosts; ++h)
      hosts.emplace_back([&] {
        for (--waiting; waiting > 0;) std::this_thread::yield();
        if (std::optional<ErrorInfo> e =
                testing::RaisedBy([&] { BackendStore store(db); })) {
          ++refused;
          std::lock_guard lock(mutex);
          last = ToUtf8(e->description);
        }
      });
    for (std::thread& t : hosts) t.join();
  }
  EXPECT_EQ(refused, 0) << last;
}

// What people see of a failure is one line in words: no password (a
// malformed URI's included), no SQL, nothing of libpq's layout. Nor does a
// password reach what the command prints or the log.
TEST(PostgresMessageTest, OneLineInWordsWithoutPasswordOrSql) {
  const std::string secret = "Pw-s3cret";
  std::string name = DatabaseName(server->NewDatabase());
  server->Sql(server->Uri(name), "CREATE ROLE plain LOGIN");
  std::string good = "postgresql://postgres:" + secret + "@/" + name +
                     "?host=" + server->SocketDir();
  testing::TempDir dir;
  std::string master = dir.Path("master.json");
  std::ofstream(master) << R"({"businessPartners":[{"number":"B"}]})";
  struct Run {
    std::vector<std::string> args;
    int status;
    const char* said;               // in standard error
    const char* setting = nullptr;  // a window given in the environment
    const char* value = nullptr;
  };
  { BackendStore store(server->Uri(name)); }  // the schema
  server->Sql(server->Uri(name),
              "CREATE ROLE reader LOGIN; GRANT SELECT ON ALL TABLES IN SCHEMA "
              "public TO reader");
  const std::vector<Run> runs = {
      // A role that may read but not write: the database is unusable for
      // the write, whichever command asks (retrying would not help), said
      // once.
      {{"update-call", "--db",
        "postgresql://reader:" + secret + "@/" + name +
            "?host=" + server->SocketDir(),
        "CALLNUMBER=SC000001", "OPTION=7", "Q_TEXT=x"},
       2,
       "permission denied"},
      {{"create-call", "--db",
        "postgresql://reader:" + secret + "@/" + name +
            "?host=" + server->SocketDir(),
        "SOLDTOBP=B"},
       2,
       "permission denied"},
      // A role that may not create tables in the schema.
      {{"create-call", "--db",
        "postgresql://plain:" + secret + "@/" + name +
            "?host=" + server->SocketDir(),
        "SOLDTOBP=B"},
       2,
       "permission denied"},
      {{"backend", "load", "--db", good, master}, 0, ""},
      {{"backend", "migrate", "--db", good}, 0, ""},
      {{"create-call", "--db", good, "SOLDTOBP=B"}, 0, ""},
      // The server cannot be reached (waited for, then worth trying
      // again); the URI is malformed in two ways (said at once).
      {{"create-call", "--db",
        "postgresql://postgres:" + secret + "@/" + name + "?host=/nonexistent",
        "SOLDTOBP=B"},
       3,
       "try again"},
      {{"create-call", "--db", "postgresql://u:" + secret + "%zz@/x",
        "SOLDTOBP=B"},
       2,
       "cannot connect"},
      {{"calls", "--db",
        "postgresql:///x?password=" + secret + "&port=notaport"},
       2,
       "cannot connect"},
      // A window out of its range is refused, not replaced by the default.
      {{"calls", "--db", good},
       2,
       "QUILLET_PG_COMMIT_SECONDS must be a whole number of seconds from 1 to "
       "3600",
       "QUILLET_PG_COMMIT_SECONDS",
       "0"},
      {{"calls", "--db", good},
       2,
       "QUILLET_PG_RECONNECT_SECONDS must be a whole number of seconds from 0 "
       "to 3600",
       "QUILLET_PG_RECONNECT_SECONDS",
       "1.5"},
      {{"calls", "--db", good}, 0, "", "QUILLET_PG_COMMIT_SECONDS", "3600"},
      // libpq's key=value form is a server's address, never a file name; a
      // string that is neither it nor a usable path is refused.
      {{"create-call", "--db",
        "host=" + server->SocketDir() + " user=postgres password=" + secret +
            " dbname=" + name,
        "SOLDTOBP=B"},
       0,
       ""},
      {{"create-call", "--db",
        "hots=" + server->SocketDir() + " password=" + secret +
            " dbname=" + name,
        "SOLDTOBP=B"},
       2,
       "--db takes an existing database file"},
      // A password under a mistyped keyword, or quoted with spaces, is
      // not shown either: only the keywords are.
      {{"calls", "--db",
        "host=x pasword=" + secret + " PASSWORD='a " + secret + "' dbname=q"},
       2,
       "'host=... pasword=... PASSWORD=... dbname=...'"},
      {{"calls", "--db", "/nonexistent/quillet.db"},
       2,
       "--db takes an existing database file"},
  };
  for (const Run& r : runs) {
    setenv("QUILLET_PG_RECONNECT_SECONDS", "1", 1);
    if (r.setting) setenv(r.setting, r.value, 1);
    testing::CliResult run = testing::RunQuillet(dir, r.args);
    unsetenv("QUILLET_PG_COMMIT_SECONDS");
    SCOPED_TRACE(r.args[0] + " " + r.args[1] + ": " + run.err);
    EXPECT_EQ(run.status, r.status);
    EXPECT_NE(run.err.find(r.said), std::string::npos);
    if (*r.said) {
      EXPECT_EQ(Occurrences(run.err, r.said), 1);
    }
    EXPECT_EQ(run.out.find(secret), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find(secret), std::string::npos);
    for (const char* sql : {"CREATE TABLE", "SELECT", "INSERT", "\t"})
      EXPECT_EQ(run.err.find(sql), std::string::npos) << sql;
    EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  }
  unsetenv("QUILLET_PG_RECONNECT_SECONDS");
  // The calls went to the server: 2 created, no file named after a string.
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path("")))
    EXPECT_EQ(entry.path().filename().string().find('='), std::string::npos);
  int calls = 0;
  BackendStore(good).ForEachCall({}, [&](const StoredCall&) { ++calls; });
  EXPECT_EQ(calls, 2);
  std::ifstream log_file(dir.Path("quillet.log"));
  std::string log((std::istreambuf_iterator<char>(log_file)), {});
  EXPECT_EQ(log.find(secret), std::string::npos);
  EXPECT_NE(testing::RunQuillet(dir, {"backend", "migrate", "--db", good})
                .out.find("***"),
            std::string::npos);
}

// The operator's view without writing: what is stored, the request keys
// (listed, and pruned by age), and the readiness check, which fails on a
// database that takes no writes. A command uses one connection.
TEST(PostgresOperatorTest, StatusKeysAndHealth) {
  testing::PgProxy proxy(server->SocketDir() + "/.s.PGSQL.5432");
  std::string name = DatabaseName(server->NewDatabase());
  std::string db = proxy.Uri(name);
  testing::TempDir dir;
  for (const char* key : {"k1", "k2"}) {
    int before = proxy.Accepted();
    ASSERT_EQ(testing::RunQuillet(
                  dir, {"create-call", "--db", db, "--key", key, "SOLDTOBP=B"})
                  .status,
              0);
    EXPECT_EQ(proxy.Accepted() - before, 1) << "connections for one command";
  }
  // The server knows the connections as Quillet's.
  EXPECT_TRUE(proxy.Sent(std::string("application_name\0quillet\0", 25)));
  server->Sql(server->Uri(name),
              "UPDATE request_keys SET created_at = created_at - 864000 "
              "WHERE key = 'k1'");
  struct Step {
    std::vector<std::string> args;
    int status;
    const char* out;  // in standard output, or for a failure standard error
  };
  const std::vector<Step> steps = {
      {{"backend", "status", "--json"},
       0,
       R"("calls":3,"items":0,"request_keys":3)"},
      {{"backend", "status", "--json"}, 0, R"("writable":true)"},
      {{"backend", "keys"}, 0, "k1\n"},
      {{"backend", "keys", "--prune-older-than", "5"},
       0,
       "pruned 1 request key"},
      {{"backend", "keys", "--json"}, 0, R"("key":"k2")"},
      {{"backend", "health"}, 0, "ok"},
      {{"ALTER DATABASE"}, 0, ""},
      {{"backend", "health"}, 2, "read-only"},
      {{"backend", "status", "--json"}, 0, R"("writable":false)"},
      {{"create-call", "SOLDTOBP=B"}, 3, "read-only"},
  };
  // What only reads takes no transaction id, and no start takes the
  // schema's lock (held here by another session): the next id the server
  // would give stays as it was across status, health and their checks.
  auto next_id = [&] {
    PGconn* conn = PQconnectdb(server->Uri(name).c_str());
    PGresult* r =
        PQexec(conn, "SELECT txid_snapshot_xmax(txid_current_snapshot())");
    std::string id = PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    PQfinish(conn);
    return id;
  };
  PGconn* schema_lock = PQconnectdb(server->Uri(name).c_str());
  PQclear(PQexec(schema_lock, "SET lock_timeout = '1s'"));
  PQclear(PQexec(schema_lock, "SELECT pg_advisory_lock(1364937812)"));
  server->Sql(server->Uri(name),
              "ALTER DATABASE " + name + " SET lock_timeout = '1s'");
  std::string before = next_id();
  for (const char* command : {"status", "health"}) {
    testing::CliResult run =
        testing::RunQuillet(dir, {"backend", command, "--db", db});
    EXPECT_EQ(run.status, 0) << command << ": " << run.err;
  }
  EXPECT_EQ(next_id(), before) << "status and health took a transaction id";
  testing::CliResult locked = testing::RunQuillet(
      dir, {"create-call", "--db", db, "--key", "k3", "SOLDTOBP=B"});
  EXPECT_EQ(locked.status, 0) << locked.err;
  PQfinish(schema_lock);
  server->Sql(server->Uri(name),
              "ALTER DATABASE " + name + " RESET lock_timeout");
  for (const Step& step : steps) {
    if (step.args[0] == "ALTER DATABASE") {
      server->Sql(
          server->Uri(name),
          "ALTER DATABASE " + name + " SET default_transaction_read_only = on");
      continue;
    }
    std::vector<std::string> args = step.args;
    args.insert(args.end(), {"--db", db});
    testing::CliResult run = testing::RunQuillet(dir, args);
    SCOPED_TRACE(args[0] + " " + args[1]);
    EXPECT_EQ(run.status, step.status) << run.err;
    EXPECT_NE((step.status == 0 ? run.out : run.err).find(step.out),
              std::string::npos)
        << run.out << run.err;
  }
}

}  // namespace
}  // namespace quillet::standins
