// quillet serve: the operations and the reads over HTTP. Routing, checks
// and status mapping only: the connection layer is http/connection.h, the
// handler that answers is http/service.h, and every operation runs through
// the same operation layer as the command line (operations.h), with the
// request's Idempotency-Key as its request key. The routes and the status
// map are in docs/http-api.md, http/routes.h and http/status_map.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "quillet/operations/backend.h"

namespace quillet::cli::http {

struct ServeOptions {
  operations::BackendSetup backend;
  std::string host = "127.0.0.1";   // loopback unless told otherwise
  int port = 8080;                  // 0: any free port
  int workers = 0;                  // 0: the number of cores
  size_t body_limit = 1 << 20;      // 413 past it
  size_t header_limit = 16 * 1024;  // request line and headers: 431 past it
  // The token file (http/tokens.h); empty: no token needed. Re-read on
  // SIGHUP.
  std::string token_file;
  int timeout_seconds = 10;  // reading a whole request, writing an answer
  int idle_seconds = 5;      // keep-alive wait for the next request
  int max_connections = 4096;
  int max_connections_per_client = 256;
  std::vector<std::string> allow_hosts;    // Host names beside loopback's
  std::vector<std::string> allow_origins;  // origins granted CORS
  // Listening beyond loopback without a token file is refused unless set.
  bool allow_no_token = false;
  // A mirror of the writes asked for, as JSON lines; empty: none (the
  // audit trail is the event log).
  std::string audit_path;
  std::string trace_path;  // every request's adapter trace appended here
};

// Where the audit trail's file was kept before the event log held it: a
// backup is never written over it.
std::string DefaultAuditPath(const operations::BackendSetup& backend);

// True for an address that only this machine can reach.
bool IsLoopback(const std::string& host);

// Opens the back end (the service is ready only then), listens, and serves
// until SIGTERM or SIGINT, then stops accepting, finishes the requests in
// flight and answers 0; a second signal ends it at once with 128 + the
// signal's number. SIGHUP opens the trace and audit files again (after
// logrotate moved them) and re-reads the token file (a file that cannot be
// read keeps the tokens in use). Prints "listening on HOST:PORT" on standard
// error once ready, and one JSON access-log line per request there. Answers
// 2 when the back end, the token file or the audit file cannot be used, the
// address cannot be bound, or the address is not loopback and there is no
// token file (unless allow_no_token).
int Serve(const ServeOptions& options);

}  // namespace quillet::cli::http
