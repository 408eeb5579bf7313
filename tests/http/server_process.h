// `quillet serve` as a child process on a free loopback port, for the HTTP
// tests.
#pragma once

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillet::cli {

// The server as a child process, stopped (SIGTERM, then SIGKILL) with the
// object.
class ServerProcess {
 public:
  ServerProcess(const testing::TempDir& dir, std::vector<std::string> extra) {
    std::vector<std::string> args = {QUILLET_CLI_PATH, "serve",
                                     "--listen",       "127.0.0.1:0",
                                     "--db",           dir.Path("q.db")};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      if (!freopen(dir.Path("serve.err").c_str(), "w", stderr)) _exit(3);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(3);
    }
    for (int i = 0; i < 200 && port_ == 0; ++i) {  // up to 10 s
      std::ifstream err(dir.Path("serve.err"));
      std::string line;
      while (std::getline(err, line))
        if (line.rfind("listening on 127.0.0.1:", 0) == 0)
          port_ = std::stoi(line.substr(23));
      if (port_ == 0) usleep(50000);
    }
  }
  ~ServerProcess() { Stop(SIGTERM); }
  int port() const { return port_; }
  void Signal(int signal) const { kill(pid_, signal); }
  // False once the process has ended (its status is then kept for Stop).
  bool Running() {
    int status = 0;
    if (pid_ <= 0) return false;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  // Sends `signal` and answers the exit status (-1 when it had to be
  // killed after 10 s).
  int Stop(int signal) {
    if (pid_ <= 0) return status_;
    kill(pid_, signal);
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return status_ = -1;
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(10, 0);
    return client;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
};

}  // namespace quillet::cli
