#include "support/pg_bouncer.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/shell.h"

namespace quillet::testing {
namespace {

constexpr int kPort = 6432;  // names the socket file; no TCP port is opened

std::string AsServerUser(const std::string& command) {
  if (geteuid() != 0) return command;
  return "runuser -u postgres -- " + command;
}

}  // namespace

PgBouncer::PgBouncer(const std::string& server_socket_dir) {
  char pattern[] = "/tmp/quillet-pgbouncer-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::ofstream(dir_ + "/pgbouncer.ini")
      << "[databases]\n* = host=" << server_socket_dir
      << " port=5432 user=postgres\n"
      << "[pgbouncer]\nunix_socket_dir = " << dir_
      << "\nlisten_port = " << kPort
      << "\nauth_type = any\npool_mode = transaction\n"
      << "default_pool_size = 4\nmax_client_conn = 200\n"
      << "logfile = " << dir_ << "/pgbouncer.log\npidfile = " << dir_
      << "/pgbouncer.pid\n";
  if (geteuid() == 0) {
    passwd* user = getpwnam("postgres");
    if (!user || chown(dir_.c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::runtime_error("cannot give the pgbouncer folder to postgres");
  }
  // As PgServer's: the watchdog stops pgbouncer when this process ends.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  watchdog_ = fork();
  if (watchdog_ == 0) {
    close(fds[1]);
    char byte;
    while (read(fds[0], &byte, 1) > 0) {
    }
    std::string stop = "kill $(cat " + ShellQuote(dir_ + "/pgbouncer.pid") +
                       ") >/dev/null 2>&1; sleep 0.2; rm -rf " +
                       ShellQuote(dir_);
    _exit(std::system(stop.c_str()) == 0 ? 0 : 1);
  }
  close(fds[0]);
  watchdog_pipe_ = fds[1];
  std::string start =
      AsServerUser("pgbouncer -q -d " + ShellQuote(dir_ + "/pgbouncer.ini")) +
      " >/dev/null 2>&1";
  if (std::system(start.c_str()) != 0)
    throw std::runtime_error("pgbouncer did not start (" + dir_ + ")");
  // Ready once its socket is there (bounded wait).
  std::string socket = dir_ + "/.s.PGSQL." + std::to_string(kPort);
  for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  if (!std::filesystem::exists(socket))
    throw std::runtime_error("pgbouncer made no socket (" + dir_ + ")");
}

PgBouncer::~PgBouncer() {
  close(watchdog_pipe_);
  int status = 0;
  if (watchdog_ > 0) waitpid(watchdog_, &status, 0);
}

void PgBouncer::Kill() {
  std::string pid;
  std::ifstream(dir_ + "/pgbouncer.pid") >> pid;
  std::string kill = "kill -9 " + ShellQuote(pid) + " >/dev/null 2>&1";
  if (pid.empty() || std::system(kill.c_str()) != 0)
    throw std::runtime_error("pgbouncer could not be killed (" + dir_ + ")");
  // Gone once signal 0 finds no such process (bounded wait).
  std::string alive = "kill -0 " + ShellQuote(pid) + " 2>/dev/null";
  for (int i = 0; i < 200 && std::system(alive.c_str()) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::filesystem::remove(dir_ + "/.s.PGSQL." + std::to_string(kPort));
}

std::string PgBouncer::Uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + dir_ +
         "&port=" + std::to_string(kPort) + "&user=postgres";
}

}  // namespace quillet::testing
