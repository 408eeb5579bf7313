// Binding the address and running the connection layer: the descriptor
// limit, the workers made with the signals blocked, then the I/O thread.
#include "http/connection.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>

#include "http/listener.h"

namespace quillet::cli::http {

int ServeConnections(const std::string& host, int port, int workers,
                     const ConnectionLimits& given, Handler& handler,
                     const std::function<void(int port)>& listening) {
  ConnectionLimits limits = given;
  // A connection is a descriptor: take all the process may have, and keep
  // the cap under it (with room for the database and the log).
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(limits.max_connections) + 64 > files.rlim_cur)
      limits.max_connections =
          std::max(1, static_cast<int>(files.rlim_cur) - 64);
  }
  // The workers are made with the signals blocked, so that only the I/O
  // thread sees them.
  sigset_t signals, previous;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  Server server(limits, handler, workers);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  ErrorCode ec;
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  tcp::resolver resolver(server.io);
  auto endpoints =
      resolver.resolve(name, std::to_string(port), tcp::resolver::passive, ec);
  if (!ec && endpoints.empty()) ec = asio::error::host_not_found;
  if (!ec) {
    tcp::endpoint endpoint = *endpoints.begin();
    server.acceptor.open(endpoint.protocol(), ec);
    if (!ec) server.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) server.acceptor.bind(endpoint, ec);
    if (!ec) server.acceptor.listen(limits.backlog, ec);
  }
  if (ec) {
    server.pool.join();
    return 2;
  }
  listening(server.acceptor.local_endpoint().port());
  server.WaitForSignal();
  server.Accept();
  server.io.run();
  server.pool.join();
  return 0;
}

}  // namespace quillet::cli::http
