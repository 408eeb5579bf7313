// The service's connection layer (Boost.Beast on Boost.Asio): one I/O
// thread reads, parses and writes every connection, so that an idle, slow
// or non-reading client costs a socket and a little memory, never a worker;
// requests go to a bounded pool of workers only once they are whole.
//
// Per connection, one request at a time: pipelined requests are answered in
// the order sent. The limits (ConnectionLimits) answer:
//   400  malformed request, no or more than one Host, a header allowed
//        once given twice, conflicting Content-Length, a malformed
//        percent escape in the path
//   408  the request was not whole by its deadline, or its body arrived
//        slower than the minimum rate
//   413  a body over the limit, whatever its content type or framing
//   431  request line and headers over the limit
//   503  over the connection cap, in all or for the client's address, or
//        over the budget of bodies being read (with Retry-After; the
//        answer is written, never a reset)
// After any of these the connection is closed: the answer is written, the
// sending side shut, and what the client still sends is read and dropped
// until it closes (or pauses, or a time bound passes), so that a client
// still sending a body it was refused reads the answer rather than a reset.
// The access log names the method and path of every request whose request
// line was read.
//
// Signals: the first SIGTERM or SIGINT stops accepting, closes idle
// connections, finishes the requests in flight and returns 0; requests
// still unanswered after ConnectionLimits::stop_grace (one held on a lock,
// a back end that does not answer) end the process with kExitUnfinished,
// their outcome unknown to their clients. A second signal ends the process
// at once with 128 + its number (143, 130). SIGHUP calls Handler::Reload.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "http/message.h"

namespace quillet::cli::http {

struct ConnectionLimits {
  size_t header_bytes = 16 * 1024;  // request line and headers: 431 past it
  size_t body_bytes = 1 << 20;      // 413 past it
  // Bodies being read at once, in all and a quarter of it per client
  // network (an IPv4 address, an IPv6 /64; 503 past it): what many slow
  // uploads may hold in memory. A quarter of it is kept for clients whose
  // network holds none of it, so that those holding some cannot fill it.
  size_t body_budget = 64 << 20;
  // A body must arrive at this rate or faster (bytes a second, over each
  // window), or it is cut with 408 and its share of the budget freed: a
  // stalled upload holds the budget for one window, not for the deadline.
  // One holding less than a window's worth is held to the deadline only.
  size_t min_body_rate = 4 * 1024;
  std::chrono::seconds body_rate_window{2};
  // From a request's first byte to its last, and again for writing the
  // answer.
  std::chrono::seconds request_deadline{10};
  std::chrono::seconds idle{5};  // keep-alive wait for the next request
  int max_connections = 4096;    // at once, in all
  int max_per_client = 256;      // at once, from one address
  int backlog = 1024;            // listen(2)'s queue
  // After the first stopping signal, how long requests in flight may take.
  std::chrono::seconds stop_grace{10};
};

// The process's status when requests were still unanswered past the grace:
// the command's "outcome unknown".
inline constexpr int kExitUnfinished = 6;

// What the connection layer asks of the service. Quick, Finish and Reload
// run on the I/O thread, one at a time; Work on any worker.
class Handler {
 public:
  virtual ~Handler() = default;
  // Once the request line and headers are read, before the body: the
  // answer when it can be given at once without the back end (refusals,
  // the console, /healthz); nullopt reads the body and sends the request to
  // Work. An answer given here with the body unread ends the connection.
  virtual std::optional<Response> Quick(Request& request) = 0;
  virtual Response Work(const Request& request) = 0;
  // Every answer passes here before it is written, those of the connection
  // layer too (with a request holding what was read of it): common headers,
  // the access log, metrics.
  virtual void Finish(const Request& request, Response& response) = 0;
  // A request that Quick passed on and that gets no answer: the client went
  // away, or the service stopped, while its body was read.
  virtual void Abandoned(const Request& request) = 0;
  virtual void Reload() = 0;
  // On the first stopping signal: requests waiting on the back end end now.
  virtual void Stopping() = 0;
};

// Binds host:port (0: any free port), calls `listening` with the port bound,
// and serves with `workers` workers until stopped by a signal (above).
// Answers 0 once stopped, 2 when the address cannot be bound.
int ServeConnections(const std::string& host, int port, int workers,
                     const ConnectionLimits& limits, Handler& handler,
                     const std::function<void(int port)>& listening);

}  // namespace quillet::cli::http
