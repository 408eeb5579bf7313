#include "postgres_server_state.h"

namespace quillet::standins {

ServerState ReadServerState(PgConnection& db) {
  ServerState state;
  PgResult s = db.Run(
      "SELECT current_setting('server_version'), pg_is_in_recovery(), "
      "current_setting('synchronous_commit'), "
      "current_setting('synchronous_standby_names')",
      {});
  state.version = s.Text(0, 0);
  state.in_recovery = s.Text(0, 1) == "t";
  state.synchronous_commit = s.Text(0, 2);
  state.synchronous_standby_names = s.Text(0, 3);
  // Without pg_read_all_stats a role sees a standby's process and no more:
  // its state and sync state come back NULL, read as "".
  PgResult r = db.Run(
      "SELECT coalesce(application_name, ''), coalesce(state, ''), "
      "coalesce(sync_state, ''), "
      "(extract(epoch FROM replay_lag) * 1000)::bigint, "
      "CASE WHEN pg_is_in_recovery() THEN NULL ELSE "
      "pg_wal_lsn_diff(pg_current_wal_lsn(), replay_lsn)::bigint END "
      "FROM pg_stat_replication ORDER BY application_name, pid",
      {});
  for (int i = 0; i < r.Rows(); ++i) {
    StandbyState standby{r.Text(i, 0), r.Text(i, 1), r.Text(i, 2)};
    if (!r.IsNull(i, 3)) standby.replay_lag_ms = r.Int(i, 3);
    if (!r.IsNull(i, 4)) standby.replay_lag_bytes = r.Int(i, 4);
    state.standbys.push_back(std::move(standby));
  }
  return state;
}

}  // namespace quillet::standins
