// A private pgbouncer in transaction mode in front of a PgServer, for tests
// that run Quillet through a pooler: its configuration and Unix socket in a
// temporary folder, run as the unprivileged "postgres" user when run as
// root, stopped and its folder removed when the object goes, and by a
// watchdog process if the program dies first.
#pragma once

#include <sys/types.h>

#include <string>

namespace quillet::testing {

class PgBouncer {
 public:
  // Starts pgbouncer for the server whose socket is in `server_socket_dir`;
  // throws std::runtime_error saying why it cannot.
  explicit PgBouncer(const std::string& server_socket_dir);
  ~PgBouncer();
  PgBouncer(const PgBouncer&) = delete;
  PgBouncer& operator=(const PgBouncer&) = delete;

  // The URI of a server database, through the pooler.
  std::string Uri(const std::string& database) const;
  // Kills the pooler at once, as a crash would, and waits (bounded) until
  // it is gone: its clients' connections are cut and new ones refused.
  void Kill();

 private:
  std::string dir_;
  pid_t watchdog_ = -1;
  int watchdog_pipe_ = -1;
};

}  // namespace quillet::testing
