#include "support/pg_server.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/shell.h"

namespace quillet::testing {
std::string PgServerBin() {
  std::string best;
  int best_version = -1;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    std::string bin = entry.path() / "bin";
    int version = std::atoi(entry.path().filename().c_str());
    if (std::filesystem::exists(bin + "/initdb") && version > best_version) {
      best = bin;
      best_version = version;
    }
  }
  if (best.empty())
    throw std::runtime_error(
        "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)");
  return best;
}

namespace {

// As the "postgres" user when this process is root.
std::string AsServerUser(const std::string& command) {
  if (geteuid() != 0) return command;
  return "runuser -u postgres -- " + command;
}

void Shell(const std::string& command, const std::string& what) {
  if (std::system(command.c_str()) != 0)
    throw std::runtime_error("PostgreSQL test server: " + what + " failed (" +
                             command + ")");
}

}  // namespace

PgServer::PgServer(const std::string& settings)
    : bin_(PgServerBin()), settings_(settings) {
  Prepare();
  Shell(AsServerUser(bin_ + "/initdb -D " + ShellQuote(dir_ + "/data") +
                     " -U postgres -A trust -E UTF8 --locale=C --no-sync") +
            " >" + ShellQuote(dir_ + "/initdb.log") + " 2>&1",
        "initdb");
  Control("start");
}

PgServer::PgServer(const PgServer& primary, const std::string& name)
    : bin_(primary.bin_) {
  Prepare();
  std::string data = dir_ + "/data";
  Shell(AsServerUser(bin_ + "/pg_basebackup -D " + ShellQuote(data) + " -h " +
                     ShellQuote(primary.dir_) +
                     " -U postgres -X stream --no-sync") +
            " >" + ShellQuote(dir_ + "/basebackup.log") + " 2>&1",
        "pg_basebackup");
  settings_ = "-c hot_standby=on -c primary_conninfo='host=" + primary.dir_ +
              " user=postgres application_name=" + name + "'";
  Shell(AsServerUser("touch " + ShellQuote(data + "/standby.signal")),
        "marking the standby");
  Control("start");
}

void KillServer(const std::string& data_dir) {
  std::ifstream pid_file(data_dir + "/postmaster.pid");
  pid_t postmaster = 0;
  if (!(pid_file >> postmaster) || postmaster <= 0)
    throw std::runtime_error("PostgreSQL test server: no postmaster.pid");
  // Its processes, by their parent, found before it goes (they would then
  // belong to init), and each killed by its own id.
  std::vector<pid_t> children;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == postmaster)
      children.push_back(
          static_cast<pid_t>(std::atoi(entry.path().filename().c_str())));
  }
  kill(postmaster, SIGKILL);
  for (pid_t child : children) kill(child, SIGKILL);
}

void PgServer::Kill() { KillServer(dir_ + "/data"); }

void PgServer::Promote() {
  Shell(AsServerUser(bin_ + "/pg_ctl -D " + ShellQuote(dir_ + "/data") +
                     " -w promote") +
            " >/dev/null 2>&1",
        "pg_ctl promote");
}

void PgServer::Prepare() {
  char pattern[] = "/tmp/quillet-pg-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  if (geteuid() == 0) {
    passwd* user = getpwnam("postgres");
    if (!user) throw std::runtime_error("no 'postgres' user to run the server");
    if (chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::runtime_error("cannot give the server folder to postgres");
  }
  // The watchdog stops the server when this process ends, however it ends:
  // its read of the pipe returns when the last writer (this process) goes.
  int fds[2];
  // Close-on-exec: the server and other programs started from here must not
  // hold the write end, or the watchdog would never see it close.
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  watchdog_ = fork();
  if (watchdog_ == 0) {
    close(fds[1]);
    char byte;
    while (read(fds[0], &byte, 1) > 0) {
    }
    std::string stop =
        AsServerUser(bin_ + "/pg_ctl -D " + ShellQuote(dir_ + "/data") +
                     " -m immediate stop") +
        " >/dev/null 2>&1; rm -rf " + ShellQuote(dir_);
    int status = std::system(stop.c_str());
    _exit(status == 0 ? 0 : 1);
  }
  close(fds[0]);
  watchdog_pipe_ = fds[1];
}

PgServer::~PgServer() {
  close(watchdog_pipe_);  // the watchdog stops the server and cleans up
  int status = 0;
  if (watchdog_ > 0) waitpid(watchdog_, &status, 0);
}

void PgServer::Control(const std::string& action) const {
  std::string options = "-k " + dir_ + " -c listen_addresses= " + settings_;
  Shell(AsServerUser(bin_ + "/pg_ctl -D " + ShellQuote(dir_ + "/data") +
                     " -w -l " + ShellQuote(dir_ + "/server.log") + " -o " +
                     ShellQuote(options) +
                     (action == "stop" ? " -m fast " : " ") + action) +
            " >/dev/null 2>&1",
        "pg_ctl " + action);
}

void PgServer::Restart() {
  Control("stop");
  Control("start");
}

std::string PgServer::Uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + dir_ + "&user=postgres";
}

void PgServer::Sql(const std::string& uri, const std::string& sql) const {
  PGconn* conn = PQconnectdb(uri.c_str());
  PGresult* r = PQexec(conn, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK ||
            PQresultStatus(r) == PGRES_TUPLES_OK;
  std::string message = ok ? "" : PQerrorMessage(conn);
  PQclear(r);
  PQfinish(conn);
  if (!ok) throw std::runtime_error("SQL failed: " + message);
}

std::string PgServer::NewDatabase() {
  std::string name = "quillet_" + std::to_string(++databases_);
  Sql(Uri("postgres"), "CREATE DATABASE " + name);
  return Uri(name);
}

}  // namespace quillet::testing
