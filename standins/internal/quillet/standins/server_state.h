// What a database server says of its replication, for the operator: which
// server this is, whether it takes writes or replays another's, what a
// COMMIT waits for, and each standby streaming from it. Read with
// read-only queries; an embedded database file has none of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet::standins {

// A standby streaming from the server (PostgreSQL: pg_stat_replication).
struct StandbyState {
  std::string name;        // its application_name
  std::string state;       // "streaming", "catchup", ...; "" when unseen
  std::string sync_state;  // "sync", "quorum", "potential", "async"; ""
                           // when the role may not see it
  std::optional<int64_t> replay_lag_ms;     // time its replay is behind
  std::optional<int64_t> replay_lag_bytes;  // WAL not yet replayed there
};

struct ServerState {
  std::string version;
  bool in_recovery = false;  // a standby: it replays, takes no write
  std::string synchronous_commit, synchronous_standby_names;
  std::vector<StandbyState> standbys;
};

// What the state means for the calls answered, in words for the operator.
struct ServerRisks {
  // Commits wait for more synchronous standbys than are connected: every
  // write waits (health fails). Empty when they do not.
  std::string commits_wait;
  // Commits are answered before some standby has them: promoted at
  // failover, it has lost calls that were answered, and gives their
  // numbers again. Empty when no standby is asynchronous.
  std::string answered_calls_can_be_lost;
};
ServerRisks AssessServer(const ServerState& state);

}  // namespace quillet::standins
