// Accepting connections under the caps, and the signals: SIGHUP re-reads,
// the first SIGTERM or SIGINT stops with a grace, a second ends at once.
#include "http/listener.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <vector>

namespace quillet::cli::http {
namespace {

constexpr std::chrono::milliseconds kAcceptBackoff{50};
// Connections over a cap being answered 503 at once; past this many, more
// are closed unanswered, so that refusing cannot use up the descriptors.
constexpr int kMaxRefusing = 1024;

}  // namespace

void Server::Accept() {
  acceptor.async_accept(io, [this](ErrorCode ec, tcp::socket socket) {
    if (stopping) return;
    if (ec) {
      // Out of descriptors: wait rather than spin; the client waits in the
      // backlog.
      backoff.expires_after(kAcceptBackoff);
      return backoff.async_wait([this](ErrorCode) { Accept(); });
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    tcp::endpoint peer = socket.remote_endpoint(ignored);
    std::string client = peer.address().to_string();
    auto found = per_client.find(client);
    int mine = found == per_client.end() ? 0 : found->second;
    bool over =
        total >= limits.max_connections || mine >= limits.max_per_client;
    if (over && refusing >= kMaxRefusing) {
      socket.close(ignored);  // refusing as fast as they come: no answer
      return Accept();
    }
    auto session =
        std::make_shared<Session>(std::move(socket), *this, std::move(client),
                                  ClientNetwork(peer.address()));
    if (total >= limits.max_connections) {
      ++refusing;
      session->Refuse(503, "the service has too many connections");
    } else if (mine >= limits.max_per_client) {
      ++refusing;
      session->Refuse(503, "too many connections from this address");
    } else {
      ++per_client[session->client()];
      ++total;
      session->counted = true;
      session->Start();
    }
    Accept();
  });
}

void Server::WaitForSignal() {
  signals.async_wait([this](ErrorCode ec, int signal) {
    if (ec) return;
    if (signal == SIGHUP) {
      handler.Reload();
      return WaitForSignal();
    }
    if (stopping) {
      std::cerr << "quillet: stopped at once" << std::endl;
      _exit(128 + signal);
    }
    stopping = true;
    handler.Stopping();
    ErrorCode ignored;
    acceptor.close(ignored);
    backoff.cancel();
    std::vector<Session*> open(sessions.begin(), sessions.end());
    for (Session* session : open) session->StopIfIdle();
    WaitForSignal();
    if (sessions.empty()) return signals.cancel();
    grace.expires_after(limits.stop_grace);
    grace.async_wait([this](ErrorCode ec) {
      if (ec || sessions.empty()) return;
      std::vector<Session*> left(sessions.begin(), sessions.end());
      if (std::none_of(left.begin(), left.end(),
                       [](Session* s) { return s->Owed(); })) {
        for (Session* session : left) session->Close();  // all answered
        return;
      }
      std::cerr << "quillet: stopped with " << sessions.size()
                << " connection(s) unfinished after the grace; what became "
                   "of their requests is unknown to their clients"
                << std::endl;
      _exit(kExitUnfinished);
    });
  });
}

}  // namespace quillet::cli::http
