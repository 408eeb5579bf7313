// CreateCall end to end on PostgreSQL, against raw libpq doing the same
// statements in the same transactions, and from 1, 2, 4 and 8 threads. The
// benchmarks start their own private server (tests/support/pg_server.h) with
// its default settings (synchronous_commit=on, fsync=on), and are skipped
// with the reason when none can be started.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillet/calls.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "support/pg_server.h"
#include "workload.h"

namespace quillet::bench {
namespace {

// The server and one database with Quillet's schema and master data, made
// on first use; the reason when there is none.
struct Server {
  std::unique_ptr<testing::PgServer> server;
  std::string db;
  std::string why_not;
};
Server& TheServer() {
  static Server s;
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      s.server = std::make_unique<testing::PgServer>();
      s.db = s.server->NewDatabase();
      standins::BackendStore(s.db).LoadMasterData(kMasterData);
    } catch (const std::exception& e) {  // quillet::Error among them
      s.why_not = e.what();
    }
  });
  return s;
}

void BM_CreateCall_Postgres(benchmark::State& state) {
  Server& s = TheServer();
  if (!s.why_not.empty()) {
    state.SkipWithError(("no PostgreSQL server: " + s.why_not).c_str());
    return;
  }
  static std::once_flag registered;
  std::call_once(registered, [&] { standins::RegisterEmbeddedBackend(s.db); });
  Ref<CallsInterface> calls = NewCalls();
  for (auto _ : state) {
    Ref<Dictionary> details = ToDictionary(CallDetails());
    Variant error;
    Ref<Dictionary> r = calls->CreateCall(details, error);
    if (!r || !r->Exists(u"CALLNUMBER"))
      state.SkipWithError("CreateCall failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateCall_Postgres)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// One single-row INSERT per transaction on the same server: the floor of one
// durable transaction per call there.
void BM_Floor_PostgresInsert(benchmark::State& state) {
  Server& s = TheServer();
  if (!s.why_not.empty()) {
    state.SkipWithError(("no PostgreSQL server: " + s.why_not).c_str());
    return;
  }
  PGconn* conn = PQconnectdb(s.db.c_str());
  PQclear(PQexec(conn,
                 "CREATE TABLE IF NOT EXISTS floor(id BIGINT GENERATED ALWAYS "
                 "AS IDENTITY PRIMARY KEY, body TEXT)"));
  PQclear(PQprepare(conn, "floor", "INSERT INTO floor(body) VALUES($1)", 1,
                    nullptr));
  const std::string body(400, 'x');
  const char* values[] = {body.c_str()};
  for (auto _ : state) {
    PQclear(PQexec(conn, "BEGIN"));
    PQclear(PQexecPrepared(conn, "floor", 1, values, nullptr, nullptr, 0));
    PGresult* r = PQexec(conn, "COMMIT");
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
      state.SkipWithError(PQresultErrorMessage(r));
    PQclear(r);
  }
  PQfinish(conn);
}
BENCHMARK(BM_Floor_PostgresInsert)->UseRealTime();

// The statements the PostgreSQL engine runs for one CreateCall of the
// workload, prepared once, in one transaction per call.
void BM_CreateCall_RawLibpq(benchmark::State& state) {
  Server& s = TheServer();
  if (!s.why_not.empty()) {
    state.SkipWithError(("no PostgreSQL server: " + s.why_not).c_str());
    return;
  }
  PGconn* conn = PQconnectdb(s.db.c_str());
  auto prepare = [&](const char* name, const char* sql, int n) {
    PQclear(PQprepare(conn, name, sql, n, nullptr));
  };
  prepare("bp", "SELECT 1 FROM business_partners WHERE number = $1", 1);
  prepare("so",
          "SELECT contract, warranty, warranty_description, "
          "warranty_expiry_date FROM service_objects WHERE object = $1",
          1);
  prepare("call",
          "INSERT INTO calls(component, last_transaction_time) VALUES($1, "
          "$2::bigint) RETURNING seq",
          2);
  prepare("name", "UPDATE calls SET call_number = $1 WHERE seq = $2::bigint",
          2);
  prepare("prop",
          "INSERT INTO call_properties(call_number, name, type, value) "
          "VALUES($1, $2, $3, $4)",
          4);
  prepare("next",
          "SELECT coalesce(max(position), 0) FROM call_texts WHERE "
          "call_number = $1 AND kind = $2",
          2);
  prepare("text",
          "INSERT INTO call_texts(call_number, kind, position, piece, "
          "text_mode) VALUES($1, $2, $3::bigint, $4, $5)",
          5);
  auto run = [&](const char* name, std::initializer_list<std::string> values) {
    std::vector<const char*> v;
    std::vector<int> lengths, formats;
    for (const std::string& s : values) {
      v.push_back(s.data());
      lengths.push_back(static_cast<int>(s.size()));
      formats.push_back(1);
    }
    return PQexecPrepared(conn, name, static_cast<int>(v.size()), v.data(),
                          lengths.data(), formats.data(), 0);
  };
  for (auto _ : state) {
    PQclear(PQexec(conn, "BEGIN"));
    PQclear(run("bp", {"BP-1"}));
    PQclear(run("so", {"PRN-1"}));
    std::vector<const char*> v = {"Desk", "849956511"};
    int lengths[] = {4, 9}, formats[] = {1, 0};
    PGresult* r =
        PQexecPrepared(conn, "call", 2, v.data(), lengths, formats, 0);
    std::string seq = PQgetvalue(r, 0, 0);
    PQclear(r);
    char number[32];
    std::snprintf(number, sizeof number, "SC%06lld", std::atoll(seq.c_str()));
    const char* name_values[] = {number, seq.c_str()};
    int name_lengths[] = {static_cast<int>(std::strlen(number)), 0};
    int name_formats[] = {1, 0};
    PQclear(PQexecPrepared(conn, "name", 2, name_values, name_lengths,
                           name_formats, 0));
    for (const char* n : StoredPropertyNames())
      PQclear(run("prop", {number, n, "String", "value of the property"}));
    PQclear(run("next", {number, "Text"}));
    const char* text_values[] = {
        number, "Text", "1", "Printer jams on tray 2\r\nhttps://desk/q/1", ""};
    int text_lengths[] = {static_cast<int>(std::strlen(number)), 4, 1, 40, 0};
    int text_formats[] = {1, 1, 0, 1, 1};
    PQclear(PQexecPrepared(conn, "text", 5, text_values, text_lengths,
                           text_formats, 0));
    PQclear(PQexec(conn, "COMMIT"));
  }
  PQfinish(conn);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateCall_RawLibpq)->UseRealTime();

}  // namespace
}  // namespace quillet::bench
