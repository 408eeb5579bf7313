// CreateCall and UpdateCall end to end on PostgreSQL, against the floor of
// one durable single-row INSERT per transaction, from 1, 4 and 8 threads,
// with the statements and round trips each operation costs. The
// benchmarks start their own private server (tests/support/pg_server.h) with
// its default settings (synchronous_commit=on, fsync=on), and are skipped
// with the reason when none can be started. Each runs twice: commits slow
// (commit:0, the defaults: every commit waits for its WAL flush) and
// commits cheap (commit:1, a database of the same server with
// synchronous_commit=off), the floor measured the same way each time.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "postgres_connection.h"
#include "quillet/calls.h"
#include "quillet/convert.h"
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
  std::string cheap_db;  // the same, its commits not waiting for a flush
  std::string why_not;
  // The database of a run's commit argument (0 slow, 1 cheap).
  const std::string& Of(int64_t commit) const {
    return commit == 1 ? cheap_db : db;
  }
};
Server& TheServer() {
  static Server s;
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      // pg_stat_statements loaded (its cost is a small part of a
      // statement's): BM_CreateCall_PostgresProfile reads it.
      s.server = std::make_unique<testing::PgServer>(
          "-c shared_preload_libraries=pg_stat_statements");
      s.db = s.server->NewDatabase();
      standins::BackendStore(s.db).LoadMasterData(kMasterData);
      s.cheap_db = s.server->NewDatabase();
      s.server->Sql(s.cheap_db,
                    "DO $$BEGIN EXECUTE format('ALTER DATABASE %I SET "
                    "synchronous_commit = off', current_database()); END$$");
      standins::BackendStore(s.cheap_db).LoadMasterData(kMasterData);
      s.server->Sql(s.cheap_db,
                    "CREATE EXTENSION IF NOT EXISTS pg_stat_statements");
    } catch (const std::exception& e) {  // quillet::Error among them
      s.why_not = e.what();
    }
  });
  return s;
}

// The statements and round trips one operation costs, from the engine's
// own count (a run of one thread: nothing else is counted meanwhile).
void CountTraffic(benchmark::State& state, const standins::PgTraffic& before) {
  if (state.threads() != 1 || state.iterations() == 0) return;
  standins::PgTraffic after = standins::PostgresTraffic();
  double n = static_cast<double>(state.iterations());
  state.counters["statements/op"] =
      static_cast<double>(after.statements - before.statements) / n;
  state.counters["round_trips/op"] =
      static_cast<double>(after.round_trips - before.round_trips) / n;
}

// The back end registered on the database of `commit`, by the first
// thread before the others pass the start of the timed loop.
bool Ready(benchmark::State& state, int64_t commit) {
  Server& s = TheServer();
  if (!s.why_not.empty()) {
    state.SkipWithError(("no PostgreSQL server: " + s.why_not).c_str());
    return false;
  }
  static std::string registered;
  if (state.thread_index() == 0 && registered != s.Of(commit)) {
    registered = s.Of(commit);
    standins::RegisterEmbeddedBackend(registered);
  }
  return true;
}

void BM_CreateCall_Postgres(benchmark::State& state) {
  if (!Ready(state, state.range(0))) return;
  Ref<CallsInterface> calls = NewCalls();
  standins::PgTraffic before = standins::PostgresTraffic();
  for (auto _ : state) {
    Ref<Dictionary> details = ToDictionary(CallDetails());
    Variant error;
    Ref<Dictionary> r = calls->CreateCall(details, error);
    if (!r || !r->Exists(u"CALLNUMBER"))
      state.SkipWithError("CreateCall failed");
  }
  CountTraffic(state, before);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateCall_Postgres)
    ->ArgName("commit")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// UpdateCall option 2 (solution text replaced) or 7 (a line appended to
// the call's text), each thread on a call of its own, taken afresh every
// 50 changes so that appended texts stay the size a call's text has.
void BM_UpdateCall_Postgres(benchmark::State& state) {
  if (!Ready(state, state.range(1))) return;
  Ref<CallsInterface> calls = NewCalls();
  Details source = UpdateDetails(static_cast<int>(state.range(0)));
  auto fresh = [&] {
    Variant error;
    Ref<Dictionary> r = calls->CreateCall(ToDictionary(CallDetails()), error);
    if (!r || !r->Exists(u"CALLNUMBER")) return false;
    source[u"CALLNUMBER"] = ToString(r->Item(u"CALLNUMBER"));
    return true;
  };
  // Each thread's first call is made inside the loop, once every thread is
  // on the database registered for this run.
  standins::PgTraffic before = standins::PostgresTraffic();
  int64_t done = 0;
  for (auto _ : state) {
    if (done++ % 50 == 0) {
      state.PauseTiming();
      standins::PgTraffic pause = standins::PostgresTraffic();
      if (!fresh()) state.SkipWithError("CreateCall failed");
      standins::PgTraffic resume = standins::PostgresTraffic();
      before.round_trips += resume.round_trips - pause.round_trips;
      before.statements += resume.statements - pause.statements;
      state.ResumeTiming();
    }
    Ref<Dictionary> details = ToDictionary(source);
    Variant message;
    benchmark::DoNotOptimize(calls->UpdateCall(details, message));
    if (!ToString(message).empty()) state.SkipWithError("UpdateCall failed");
  }
  CountTraffic(state, before);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateCall_Postgres)
    ->ArgNames({"option", "commit"})
    ->ArgsProduct({{2, 7}, {0, 1}})
    ->Threads(1)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

// Where a create's time goes on the server, commits cheap, one client:
// the server's execution time per create (server_us/op) against the wall
// time, and each statement's share, from pg_stat_statements (printed to
// stderr, the costliest first).
void BM_CreateCall_PostgresProfile(benchmark::State& state) {
  if (!Ready(state, 1)) return;
  Server& s = TheServer();
  PGconn* conn = PQconnectdb(s.cheap_db.c_str());
  auto sql = [&](const char* text) {
    PGresult* r = PQexec(conn, text);
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK ||
              PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) state.SkipWithError(PQresultErrorMessage(r));
    return std::unique_ptr<PGresult, void (*)(PGresult*)>(r, PQclear);
  };
  sql("SELECT pg_stat_statements_reset()");
  Ref<CallsInterface> calls = NewCalls();
  for (auto _ : state) {
    Variant error;
    Ref<Dictionary> r = calls->CreateCall(ToDictionary(CallDetails()), error);
    if (!r || !r->Exists(u"CALLNUMBER"))
      state.SkipWithError("CreateCall failed");
  }
  double n = static_cast<double>(state.iterations());
  auto top = sql(
      "SELECT calls, total_exec_time, left(regexp_replace(query, '\\s+', ' ', "
      "'g'), 90) FROM pg_stat_statements WHERE dbid = (SELECT oid FROM "
      "pg_database WHERE datname = current_database()) AND query NOT LIKE "
      "'%pg_stat_statements%' ORDER BY total_exec_time DESC");
  double total_ms = 0;
  for (int i = 0; i < PQntuples(top.get()); ++i)
    total_ms += std::atof(PQgetvalue(top.get(), i, 1));
  std::fprintf(stderr,
               "PostgreSQL, commits cheap: server time per CreateCall by "
               "statement (pg_stat_statements, %.0f creates):\n",
               n);
  for (int i = 0; i < PQntuples(top.get()) && i < 12; ++i)
    std::fprintf(stderr, "  %6.1f us  %4.1f a create  %s\n",
                 std::atof(PQgetvalue(top.get(), i, 1)) * 1e3 / n,
                 std::atof(PQgetvalue(top.get(), i, 0)) / n,
                 PQgetvalue(top.get(), i, 2));
  state.counters["server_us/op"] = total_ms * 1e3 / n;
  PQfinish(conn);
}
BENCHMARK(BM_CreateCall_PostgresProfile)->Iterations(500)->UseRealTime();

// The floor, as pgbench -M prepared runs it: one prepared single-row
// INSERT of a 400-byte row per transaction (a statement of its own, so one
// round trip and one durable commit), each client on its own connection.
void BM_Floor_PostgresInsert(benchmark::State& state) {
  Server& s = TheServer();
  if (!s.why_not.empty()) {
    state.SkipWithError(("no PostgreSQL server: " + s.why_not).c_str());
    return;
  }
  PGconn* conn = PQconnectdb(s.Of(state.range(0)).c_str());
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  PQclear(PQexec(conn,
                 "CREATE TABLE IF NOT EXISTS floor(id BIGINT GENERATED ALWAYS "
                 "AS IDENTITY PRIMARY KEY, body TEXT)"));
  PQclear(PQprepare(conn, "floor", "INSERT INTO floor(body) VALUES($1)", 1,
                    nullptr));
  const std::string body(400, 'x');
  const char* values[] = {body.c_str()};
  for (auto _ : state) {
    PGresult* r = PQexecPrepared(conn, "floor", 1, values, nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
      state.SkipWithError(PQresultErrorMessage(r));
    PQclear(r);
  }
  PQfinish(conn);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Floor_PostgresInsert)
    ->ArgName("commit")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime();

}  // namespace
}  // namespace quillet::bench
