#include "support/pg_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace quillet::testing {
namespace {

// A COMMIT as the simple query ('Q', its length, "COMMIT\0") or parsed as
// the unnamed statement ('P', its length, "\0COMMIT\0", no parameters).
const std::string kCommit(
    "Q\0\0\0\x0b"
    "COMMIT\0",
    12);
const std::string kParsedCommit("\0COMMIT\0\0\0", 10);

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

PgProxy::PgProxy(std::string socket_path)
    : socket_path_(std::move(socket_path)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) !=
          0)
    throw std::runtime_error("the proxy cannot listen on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

PgProxy::~PgProxy() {
  stop_ = true;
  acceptor_.join();
  close(listener_);
  for (std::thread& t : threads_) t.join();
}

std::string PgProxy::Uri(const std::string& database) const {
  return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" +
         database + "?sslmode=disable";
}

void PgProxy::DropCommitAnswer(const std::string& after, bool refuse_after) {
  std::lock_guard lock(mutex_);
  after_ = after;
  refuse_after_ = refuse_after;
  dropped_ = false;
  refuse_ = false;
}

bool PgProxy::Sent(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  return startups_.find(bytes) != std::string::npos;
}

void PgProxy::Accept() {
  while (!stop_) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++accepted_;
    if (refuse_) {
      close(client);
      continue;
    }
    threads_.emplace_back([this, client] { Pump(client); });
  }
}

// Carries one connection both ways until either side closes, the proxy
// stops, or the armed cut happens.
void PgProxy::Pump(int client) {
  int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path_.c_str(),
               sizeof address.sun_path - 1);
  if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address),
                            sizeof address) != 0) {
    close(client);
    if (server >= 0) close(server);
    return;
  }
  bool marked = false;  // this connection sent the armed statement
  bool first = true;    // the next read holds its startup message
  char buffer[65536];
  while (!stop_) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(fds, 2, 50) <= 0) continue;
    if (fds[0].revents) {
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      std::string chunk(buffer, static_cast<size_t>(n));
      bool cut = false;
      {
        std::lock_guard lock(mutex_);
        if (first) startups_ += chunk.substr(0, 512);
        first = false;
        if (!after_.empty() && chunk.find(after_) != std::string::npos)
          marked = true;
        if (marked && !after_.empty() &&
            (chunk.find(kCommit) != std::string::npos ||
             chunk.find(kParsedCommit) != std::string::npos)) {
          cut = true;
          after_.clear();
          if (refuse_after_) refuse_ = true;
        }
      }
      if (!SendAll(server, chunk.data(), chunk.size())) break;
      if (cut) {
        // The server reads the COMMIT before it sees the end of the
        // connection: it commits, and its answers go nowhere (read and
        // dropped until it hangs up, at most 10 s, so that none fails to
        // be sent before the COMMIT runs).
        shutdown(server, SHUT_WR);
        close(client);
        client = -1;
        dropped_ = true;
        for (int i = 0; i < 200 && !stop_; ++i) {
          pollfd answer{server, POLLIN, 0};
          if (poll(&answer, 1, 50) > 0 &&
              recv(server, buffer, sizeof buffer, 0) <= 0)
            break;
        }
        break;
      }
    }
    if (fds[1].revents) {
      ssize_t n = recv(server, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(client, buffer, static_cast<size_t>(n))) break;
    }
  }
  if (client >= 0) close(client);
  close(server);
}

}  // namespace quillet::testing
