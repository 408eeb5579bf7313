// A private PostgreSQL server for one test program or benchmark: a fresh
// cluster (initdb) in a temporary folder, owned by the unprivileged
// "postgres" user when run as root (the server refuses root), listening only
// on a Unix socket in that folder. It is stopped and its folder removed when
// the object goes, and by a watchdog process if the program dies first.
#pragma once

#include <sys/types.h>

#include <string>

namespace quillet::testing {

// The newest installed server's programs (Debian: /usr/lib/postgresql/N/bin):
// initdb, pg_ctl, pg_dump, pg_restore, ...
std::string PgServerBin();

// Kills the server of `data_dir` at once (SIGKILL to it and every process
// of it): no shutdown, every connection cut, as a machine that dies.
void KillServer(const std::string& data_dir);

class PgServer {
 public:
  // Starts the server; throws std::runtime_error saying why it cannot.
  // `settings` are extra server options ("-c synchronous_commit=on").
  explicit PgServer(const std::string& settings = "");
  // A streaming standby of `primary`, copied from it (pg_basebackup) into a
  // folder of its own and following it under `name`: the name the primary's
  // synchronous_standby_names gives when it waits for this one.
  PgServer(const PgServer& primary, const std::string& name);
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // A new, empty database; answers its connection URI.
  std::string NewDatabase();
  // The URI of an existing database.
  std::string Uri(const std::string& database) const;
  // Stops the server (fast shutdown: open connections are cut) and starts it
  // again on the same folder.
  void Restart();
  // Kills the server at once (SIGKILL to it and every process of it): no
  // shutdown, every connection cut, as a machine that dies.
  void Kill();
  // Makes a standby a primary, and waits until it takes writes.
  void Promote();
  // The folder holding the server's Unix socket (".s.PGSQL.5432").
  const std::string& SocketDir() const { return dir_; }
  // Runs SQL on a database of this server (for tests that set a scene).
  void Sql(const std::string& uri, const std::string& sql) const;

 private:
  void Prepare();  // the folder, its owner and the watchdog
  void Control(const std::string& action) const;
  std::string dir_;
  std::string bin_;
  std::string settings_;
  int databases_ = 0;
  pid_t watchdog_ = -1;
  int watchdog_pipe_ = -1;
};

}  // namespace quillet::testing
