// What a server's replication state means for the calls answered: commits
// that would wait for a standby not connected, and standbys not waited for
// (a failover to one loses answered calls).
#include "quillet/standins/server_state.h"

#include <gtest/gtest.h>

namespace quillet::standins {
namespace {

StandbyState Streaming(const std::string& name, const std::string& sync) {
  return {name, "streaming", sync, 0, 0};
}

TEST(ServerStateTest, CommitsThatWaitForAbsentStandbysAndStandbysNotWaitedFor) {
  struct Case {
    const char* name;
    ServerState state;
    const char* commits_wait;  // part of the warning; "" for none
    const char* can_lose;      // part of the warning; "" for none
  };
  const std::vector<Case> cases = {
      {"no standby, none named", {"15", false, "on", "", {}}, "", ""},
      {"named standby connected",
       {"15", false, "on", "standby", {Streaming("standby", "sync")}},
       "",
       ""},
      {"named standby absent",
       {"15", false, "on", "standby", {}},
       "waits for 1 synchronous standby",
       ""},
      {"another standby connected, async",
       {"15", false, "remote_apply", "gone", {Streaming("other", "async")}},
       "0 of them are connected",
       "'other'"},
      {"names compared without case, quoted names unquoted",
       {"15",
        false,
        "on",
        "FIRST 1 (\"Standby\", b)",
        {Streaming("standby", "sync")}},
       "",
       ""},
      {"ANY 2 of three with one streaming",
       {"15",
        false,
        "on",
        "ANY 2 (a, b, c)",
        {Streaming("a", "quorum"), {"b", "catchup", "quorum", {}, {}}}},
       "waits for 2 synchronous standbys",
       ""},
      {"a number alone, any standby",
       {"15",
        false,
        "on",
        "2 (*)",
        {Streaming("x", "sync"), Streaming("y", "sync")}},
       "",
       ""},
      {"commits do not wait: every standby can miss answered calls",
       {"15", false, "local", "standby", {Streaming("standby", "sync")}},
       "",
       "'standby'"},
      {"a potential standby can miss them",
       {"15",
        false,
        "on",
        "a, b",
        {Streaming("a", "sync"), Streaming("b", "potential")}},
       "",
       "'b' is not waited for"},
      {"standbys this role cannot see are not taken as absent",
       {"15", false, "on", "standby", {{"standby", "", "", {}, {}}}},
       "",
       ""},
      {"a standby commits nothing", {"15", true, "on", "gone", {}}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerRisks risks = AssessServer(c.state);
    if (*c.commits_wait)
      EXPECT_NE(risks.commits_wait.find(c.commits_wait), std::string::npos)
          << risks.commits_wait;
    else
      EXPECT_EQ(risks.commits_wait, "");
    if (*c.can_lose) {
      EXPECT_NE(risks.answered_calls_can_be_lost.find(c.can_lose),
                std::string::npos)
          << risks.answered_calls_can_be_lost;
      EXPECT_NE(
          risks.answered_calls_can_be_lost.find("numbers are given again"),
          std::string::npos);
    } else {
      EXPECT_EQ(risks.answered_calls_can_be_lost, "");
    }
  }
}

}  // namespace
}  // namespace quillet::standins
