// quillet serve: the operations and the reads over HTTP (cpp-httplib).
// Routing and status mapping only: every operation runs through the same
// operation layer as the command line (operations.h), with the request's
// Idempotency-Key as its request key. The routes and the status map are in
// the README ("Run it as a service") and http/status_map.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "backend_setup.h"

namespace quillet::cli::http {

struct ServeOptions {
  BackendSetup backend;
  std::string host = "127.0.0.1";    // loopback unless told otherwise
  int port = 8080;                   // 0: any free port
  int workers = 0;                   // 0: the number of cores
  size_t body_limit = 1 << 20;       // 413 past it
  std::optional<std::string> token;  // bearer token every request needs
  int timeout_seconds = 10;          // reading a request, writing an answer
  std::string trace_path;  // every request's adapter trace appended here
};

// Opens the back end (the service is ready only then), listens, and serves
// until SIGTERM or SIGINT, then stops accepting, finishes the requests in
// flight and answers 0. Prints "listening on HOST:PORT" on standard error
// once ready, and one JSON access-log line per request there. Answers 2
// when the back end cannot be opened or the address cannot be bound.
int Serve(const ServeOptions& options);

}  // namespace quillet::cli::http
