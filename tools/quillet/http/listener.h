// The accept loop and the signals (the connection layer's inside, behind
// http/connection.h): the connection caps, the worker pool, the body
// budget's totals, and stopping with a grace for the requests in flight.
// listener.cc holds accepting and stopping; connection.cc binds and runs it.
#pragma once

#include <signal.h>

// Boost.Asio uses std::exchange without including <utility>.
// clang-format off
#include <utility>
// clang-format on
#include <boost/asio.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "http/connection.h"
#include "http/session.h"

namespace quillet::cli::http {

class Server {
 public:
  Server(const ConnectionLimits& limits, Handler& handler, int workers)
      : limits(limits), handler(handler), pool(static_cast<size_t>(workers)) {}

  void Accept();
  void WaitForSignal();
  void Added(Session* session) { sessions.insert(session); }
  void Removed(Session* session) {
    sessions.erase(session);
    if (!session->counted) --refusing;
    if (session->counted) {
      --total;
      auto it = per_client.find(session->client());
      if (it != per_client.end() && --it->second == 0) per_client.erase(it);
    }
    if (stopping && sessions.empty()) {
      signals.cancel();
      grace.cancel();
    }
  }

  const ConnectionLimits& limits;
  Handler& handler;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::signal_set signals{io, SIGTERM, SIGINT, SIGHUP};
  asio::steady_timer backoff{io};
  asio::steady_timer grace{io};
  asio::thread_pool pool;
  bool stopping = false;
  int total = 0;
  int refusing = 0;
  // Bytes of bodies being read now, reserved as they arrive, against the
  // budget.
  size_t body_bytes = 0;
  // Per client network (ClientNetwork): a quarter of the budget each.
  std::unordered_map<std::string, size_t> network_body_bytes;
  std::unordered_set<Session*> sessions;
  std::unordered_map<std::string, int> per_client;
};

}  // namespace quillet::cli::http
