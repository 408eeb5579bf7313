// A loopback TCP proxy in front of a PostgreSQL server's Unix socket, for
// tests that lose a connection at a chosen moment: it passes everything on,
// except that once armed it passes the client's COMMIT to the server and
// then cuts both sides, so that the server commits and the client never
// hears it.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::testing {

class PgProxy {
 public:
  // Listens on 127.0.0.1, on a free port, for `socket_path`'s server.
  explicit PgProxy(std::string socket_path);
  ~PgProxy();
  PgProxy(const PgProxy&) = delete;
  PgProxy& operator=(const PgProxy&) = delete;

  // A URI for `database` through the proxy.
  std::string Uri(const std::string& database) const;
  // Cuts the first connection that sends COMMIT after a statement holding
  // `after` (say "INSERT INTO calls"), once its COMMIT reached the server.
  // With `refuse_after`, every connection made after the cut is refused.
  void DropCommitAnswer(const std::string& after, bool refuse_after);
  // Whether the armed cut has happened.
  bool Dropped() const { return dropped_; }
  // How many connections were accepted so far.
  int Accepted() const { return accepted_; }
  // Whether any client sent `bytes` (within one read) so far.
  bool Sent(const std::string& bytes);

 private:
  void Accept();
  void Pump(int client);

  std::string socket_path_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, dropped_{false}, refuse_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::string after_;     // armed when not empty
  std::string startups_;  // each connection's first bytes
  bool refuse_after_ = false;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace quillet::testing
