#include "support/pg_formation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>

#include "support/pg_server.h"
#include "support/shell.h"

namespace quillet::testing {
namespace {

using Clock = std::chrono::steady_clock;

// A loopback port free now (the kernel's choice).
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("no free loopback port");
  close(fd);
  return ntohs(addr.sin_port);
}

// The first value `sql` answers on a server at 127.0.0.1:`port`; nullopt
// when it cannot be had (not up yet, or gone).
std::optional<std::string> Ask(int port, const std::string& database,
                               const std::string& sql) {
  std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port) +
                         " dbname=" + database +
                         " user=postgres connect_timeout=2";
  PGconn* conn = PQconnectdb(conninfo.c_str());
  std::optional<std::string> value;
  if (PQstatus(conn) == CONNECTION_OK) {
    PGresult* r = PQexec(conn, sql.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK)
      value = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    else if (PQresultStatus(r) == PGRES_COMMAND_OK)
      value = "";
    PQclear(r);
  }
  PQfinish(conn);
  return value;
}

std::string Tail(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

}  // namespace

PgFormation::PgFormation() : bin_(PgServerBin()) {
  char pattern[] = "/tmp/quillet-paf-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  if (geteuid() == 0) {
    passwd* user = getpwnam("postgres");
    if (!user) throw std::runtime_error("no 'postgres' user to run the nodes");
    if (chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::runtime_error("cannot give the formation folder to postgres");
  }
  // pg_autoctl's configuration, state and pid files (XDG_CONFIG_HOME,
  // XDG_DATA_HOME, XDG_RUNTIME_DIR: used when they exist).
  for (const char* sub : {"/config", "/share", "/run"}) {
    std::string path = dir_ + sub;
    if (mkdir(path.c_str(), 0700) != 0)
      throw std::runtime_error("cannot make the formation's folders");
    if (geteuid() == 0) {
      passwd* user = getpwnam("postgres");
      if (!user || chown(path.c_str(), user->pw_uid, user->pw_gid) != 0)
        throw std::runtime_error(
            "cannot give the formation folder to postgres");
    }
  }
  // The watchdog is told each process group started; when this process
  // goes (its end of the pipe closes) it kills them all and cleans up.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  watchdog_ = fork();
  if (watchdog_ == 0) {
    close(fds[1]);
    std::vector<pid_t> groups;
    pid_t group = 0;
    while (read(fds[0], &group, sizeof group) == sizeof group)
      groups.push_back(group);
    for (pid_t g : groups) kill(-g, SIGKILL);
    std::string stop;
    for (const char* data : {"/monitor", "/node1", "/node2"})
      stop += (geteuid() == 0 ? "runuser -u postgres -- " : "") + bin_ +
              "/pg_ctl -D " + ShellQuote(dir_ + data) +
              " -m immediate stop >/dev/null 2>&1; ";
    stop += "rm -rf " + ShellQuote(dir_);
    _exit(std::system(stop.c_str()) == 0 ? 0 : 1);
  }
  close(fds[0]);
  watchdog_pipe_ = fds[1];

  monitor_port_ = FreePort();
  for (int& port : node_ports_) port = FreePort();
  std::string pgctl = bin_ + "/pg_ctl";
  Start({"create", "monitor", "--pgdata", dir_ + "/monitor", "--pgport",
         std::to_string(monitor_port_), "--pgctl", pgctl, "--hostname",
         "127.0.0.1", "--listen", "127.0.0.1", "--auth", "trust", "--no-ssl",
         "--run"},
        "monitor.log");
  // The monitor's health checks, often and quickly given up on, and no
  // long wait for a lost primary to say it stopped: a failover within
  // seconds (the defaults take about 30 s).
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!Ask(monitor_port_, "pg_auto_failover",
              "SELECT count(*) FROM pgautofailover.node")) {
    if (Clock::now() > deadline)
      throw std::runtime_error("the monitor did not start: " +
                               Tail(dir_ + "/monitor.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (const char* setting :
       {"health_check_period = 500", "health_check_timeout = 500",
        "health_check_max_retries = 1", "health_check_retry_delay = 200",
        "node_considered_unhealthy_timeout = 1000",
        "primary_demote_timeout = 1000"})
    if (!Ask(monitor_port_, "pg_auto_failover",
             std::string("ALTER SYSTEM SET pgautofailover.") + setting))
      throw std::runtime_error("cannot set the monitor's " +
                               std::string(setting));
  Ask(monitor_port_, "pg_auto_failover", "SELECT pg_reload_conf()");

  std::string monitor =
      "postgres://autoctl_node@127.0.0.1:" + std::to_string(monitor_port_) +
      "/pg_auto_failover?sslmode=disable";
  for (int node = 0; node < 2; ++node) {
    std::string name = "node" + std::to_string(node + 1);
    node_groups_[node] =
        Start({"create", "postgres", "--pgdata", dir_ + "/" + name,
               // clang-format off
               "--pgport", std::to_string(node_ports_[node]),
               "--pgctl", pgctl, "--hostname", "127.0.0.1",
               "--listen", "127.0.0.1", "--name", name,
               "--auth", "trust", "--no-ssl", "--monitor", monitor,
               "--dbname", kDatabase, "--run"},
              // clang-format on
              name + ".log");
    if (node == 0)
      AwaitStates("single", "");
    else
      AwaitStates("primary", "secondary");
  }
}

pid_t PgFormation::Start(const std::vector<std::string>& args,
                         const std::string& log) {
  // pg_autoctl keeps its files in the folder, not in the postgres user's
  // home or /tmp.
  std::vector<std::string> argv;
  if (geteuid() == 0) argv = {"runuser", "-u", "postgres", "--"};
  argv.insert(argv.end(), {"env", "PATH=" + bin_ + ":/usr/bin:/bin",
                           "XDG_CONFIG_HOME=" + dir_ + "/config",
                           "XDG_DATA_HOME=" + dir_ + "/share",
                           "XDG_RUNTIME_DIR=" + dir_ + "/run", "pg_autoctl"});
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  std::string log_path = dir_ + "/" + log;
  pid_t pid = fork();
  if (pid == 0) {
    setsid();  // a group of its own, killed as one
    int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(raw[0], raw.data());
    _exit(127);
  }
  if (pid < 0) throw std::runtime_error("fork failed");
  groups_.push_back(pid);
  if (write(watchdog_pipe_, &pid, sizeof pid) != sizeof pid)
    throw std::runtime_error("the watchdog is gone");
  return pid;
}

void PgFormation::AwaitStates(const std::string& want1,
                              const std::string& want2) {
  auto deadline = Clock::now() + std::chrono::seconds(90);
  auto next_checkpoint = Clock::now();
  while (ReportedState(1) != want1 ||
         (!want2.empty() && ReportedState(2) != want2)) {
    if (Clock::now() > deadline)
      throw std::runtime_error("the formation did not reach " + want1 + "/" +
                               want2 + ": " + State() + "\n" +
                               Tail(dir_ + "/node1.log") + "\n" +
                               Tail(dir_ + "/node2.log"));
    // The secondary's copy (pg_basebackup) starts after a checkpoint,
    // spread over minutes unless one is asked for at once.
    if (!want2.empty() && Clock::now() > next_checkpoint) {
      Ask(node_ports_[0], "postgres", "CHECKPOINT");
      next_checkpoint = Clock::now() + std::chrono::seconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::string PgFormation::ReportedState(int node) const {
  return Ask(monitor_port_, "pg_auto_failover",
             "SELECT reportedstate FROM pgautofailover.node WHERE nodename "
             "= 'node" +
                 std::to_string(node) + "'")
      .value_or("");
}

std::string PgFormation::State() const {
  return Ask(monitor_port_, "pg_auto_failover",
             "SELECT string_agg(nodename || ' ' || reportedstate || '/' || "
             "goalstate, ', ' ORDER BY nodeid) FROM pgautofailover.node")
      .value_or("(the monitor does not answer)");
}

std::string PgFormation::Uri() const {
  return "postgresql://127.0.0.1:" + std::to_string(node_ports_[0]) +
         ",127.0.0.1:" + std::to_string(node_ports_[1]) + "/" + kDatabase +
         "?user=postgres&target_session_attrs=read-write&connect_timeout=2";
}

void PgFormation::KillPrimary() {
  // Its pg_autoctl and, with every process of it, its server.
  kill(-node_groups_[primary_], SIGKILL);
  KillServer(dir_ + "/node" + std::to_string(primary_ + 1));
  primary_ = 1 - primary_;
}

PgFormation::~PgFormation() {
  close(watchdog_pipe_);  // the watchdog stops everything and cleans up
  int status = 0;
  if (watchdog_ > 0) waitpid(watchdog_, &status, 0);
  for (pid_t pid : groups_) waitpid(pid, &status, 0);
}

}  // namespace quillet::testing
