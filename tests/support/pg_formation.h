// A pg_auto_failover formation private to one test program: a monitor and
// two Postgres nodes run by pg_autoctl in a temporary folder (owned by the
// unprivileged "postgres" user when run as root), on free loopback ports.
// The monitor checks the nodes' health often, so that it promotes the
// secondary within seconds of the primary's loss. Everything is stopped and
// the folder removed when the object goes, and by a watchdog process if the
// program dies first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillet::testing {

class PgFormation {
 public:
  // Starts the monitor and the nodes and waits until one is primary and the
  // other its secondary; throws std::runtime_error saying why it cannot.
  PgFormation();
  ~PgFormation();
  PgFormation(const PgFormation&) = delete;
  PgFormation& operator=(const PgFormation&) = delete;

  // The URI of database `database` (made on the primary at start) naming
  // both nodes, for whichever takes writes.
  std::string Uri() const;
  // Kills the primary node at once (SIGKILL to its pg_autoctl and its
  // server): as a machine that dies.
  void KillPrimary();
  // The monitor's view of the nodes ("node1 primary/primary, ..."), for
  // messages.
  std::string State() const;
  // The node's state as the monitor last heard it ("primary",
  // "wait_primary", "secondary", ...).
  std::string ReportedState(int node) const;

  static constexpr const char* kDatabase = "quillet";

 private:
  pid_t Start(const std::vector<std::string>& args, const std::string& log);
  void AwaitStates(const std::string& want1, const std::string& want2);
  std::string MonitorSql(const std::string& sql) const;
  std::string dir_, bin_;
  int monitor_port_ = 0, node_ports_[2] = {0, 0};
  std::vector<pid_t> groups_;  // each pg_autoctl, in a group of its own
  pid_t node_groups_[2] = {-1, -1};
  int primary_ = 0;  // index of the node started first
  pid_t watchdog_ = -1;
  int watchdog_pipe_ = -1;
};

}  // namespace quillet::testing
