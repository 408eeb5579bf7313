// Failover of a primary whose hosts write under request keys through a URI
// naming both servers with target_session_attrs=read-write
// (failover_hosts.h says what must hold): by hand, a synchronous streaming
// standby promoted with pg_ctl; and by a manager, a pg_auto_failover
// formation promoting its secondary on its own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "failover_hosts.h"
#include "quillet/standins/backend_store.h"
#include "support/cli_runner.h"
#include "support/pg_formation.h"
#include "support/pg_server.h"
#include "support/temp_dir.h"

namespace quillet::standins {
namespace {

TEST(PostgresFailoverTest, NothingAnsweredIsLostAndNothingIsStoredTwice) {
  testing::PgServer primary(
      "-c synchronous_standby_names=standby -c synchronous_commit=on");
  testing::PgServer standby(primary, "standby");
  std::string name = "failover";
  primary.Sql(primary.Uri("postgres"), "CREATE DATABASE " + name);
  std::string uri = "postgresql:///" + name + "?host=" + primary.SocketDir() +
                    "," + standby.SocketDir() +
                    "&user=postgres&target_session_attrs=read-write";
  setenv("QUILLET_PG_RECONNECT_SECONDS", "20", 1);
  { BackendStore made(uri); }  // committed: the standby is streaming

  // The operator sees the standby, waited for by every commit.
  testing::TempDir dir;
  testing::CliResult status =
      testing::RunQuillet(dir, {"backend", "status", "--json", "--db", uri});
  EXPECT_EQ(status.status, 0) << status.err;
  for (const char* part :
       {R"("in_recovery":false)", R"("synchronous_standby_names":"standby")",
        R"("name":"standby","state":"streaming","sync_state":"sync")",
        R"("warnings":[])"})
    EXPECT_NE(status.out.find(part), std::string::npos) << status.out;

  WriteThroughFailover(
      uri, [&] { primary.Kill(); }, [&] { standby.Promote(); });
}

TEST(PostgresFailoverTest, AManagerPromotesTheSecondaryAndWritesGoOn) {
  auto start = std::chrono::steady_clock::now();
  testing::PgFormation formation;
  std::printf("pg_auto_failover: monitor and two nodes ready in %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count()));
  std::string uri = formation.Uri();
  setenv("QUILLET_PG_RECONNECT_SECONDS", "20", 1);
  { BackendStore made(uri); }
  // The manager made every commit wait for the secondary.
  testing::TempDir dir;
  testing::CliResult status =
      testing::RunQuillet(dir, {"backend", "status", "--json", "--db", uri});
  EXPECT_EQ(status.status, 0) << status.err;
  for (const char* part :
       {R"x("synchronous_standby_names":"ANY 1 (pgautofailover_standby_2)")x",
        R"("name":"pgautofailover_standby_2","state":"streaming")",
        R"("warnings":[])"})
    EXPECT_NE(status.out.find(part), std::string::npos) << status.out;

  FailoverFigures figures = WriteThroughFailover(
      uri, [&] { formation.KillPrimary(); }, [] {});
  // The manager, not the test, made the secondary take writes, and its
  // commits wait for no standby that is gone.
  EXPECT_EQ(formation.ReportedState(2), "wait_primary") << formation.State();
  testing::CliResult health =
      testing::RunQuillet(dir, {"backend", "health", "--db", uri});
  EXPECT_EQ(health.status, 0) << health.err;
  std::printf("pg_auto_failover: kill to first write %lld ms\n",
              static_cast<long long>(figures.kill_to_first_write_ms));
}

}  // namespace
}  // namespace quillet::standins
