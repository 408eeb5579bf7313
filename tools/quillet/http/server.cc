// Starting and stopping the service: the checks before listening, the
// back end, tokens, trace and audit mirror files, then the connection layer
// until a signal stops it.
#include "http/server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>

#include "http/connection.h"
#include "http/event_pruner.h"
#include "http/service.h"
#include "quillet/error.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/text.h"

namespace quillet::cli::http {

using operations::BackendSetup;

std::string DefaultAuditPath(const BackendSetup& backend) {
  return (std::filesystem::path(backend.LogPath()).parent_path() /
          "quillet-audit.jsonl")
      .string();
}

bool IsLoopback(const std::string& given) {
  std::string host = given;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
    return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 &&
         IN6_IS_ADDR_LOOPBACK(&v6);
}

int Serve(const ServeOptions& options) {
  if (!IsLoopback(options.host) && options.token_file.empty() &&
      !options.allow_no_token) {
    std::cerr << "quillet: listening on " << options.host
              << " lets other machines in: give --token-file, or "
                 "--allow-no-token to serve them without one\n";
    return 2;
  }
  bool for_reads = false;
  {
    operations::FailureWatch opening;
    try {
      operations::OpenCalls(options.backend, true);  // ready only once it is
    } catch (const Error& e) {
      std::cerr << "quillet: " << ToUtf8(e.info().description) << "\n";
      // One that can be read is served for reads, not ready for writes.
      if (!opening.ReadOnly()) return 2;
      for_reads = true;
    }
  }
  if (for_reads) {
    try {
      operations::OpenCallsForReads(options.backend);
    } catch (const Error& again) {
      std::cerr << "quillet: " << ToUtf8(again.info().description) << "\n";
      return 2;
    }
    std::cerr << "quillet: serving reads only: /readyz answers 503 until the "
                 "database can be written\n";
  }
  Service service(options);
  if (!service.LoadTokens()) return 2;
  if (!options.trace_path.empty() &&
      !service.OpenTraceFile(options.trace_path)) {
    std::cerr << "quillet: --trace: cannot write '" << options.trace_path
              << "'\n";
    return 2;
  }
  if (!options.audit_path.empty() && !service.OpenAudit(options.audit_path)) {
    std::cerr << "quillet: --audit: cannot write '" << options.audit_path
              << "'\n";
    return 2;
  }
  if ((options.host == "0.0.0.0" || options.host == "::" ||
       options.host == "[::]") &&
      options.allow_hosts.empty())
    std::cerr << "quillet: answering only to the Host names localhost, "
                 "127.0.0.1 and [::1]: --allow-host adds the names clients "
                 "use\n";
  int workers =
      options.workers > 0
          ? options.workers
          : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // Each worker holds one store at a time: the pool's bound follows them.
  operations::SetStoresPerDatabase(static_cast<size_t>(workers) + 1);
  ConnectionLimits limits;
  limits.header_bytes = options.header_limit;
  limits.body_bytes = options.body_limit;
  limits.body_budget = std::max<size_t>(64 << 20, 64 * options.body_limit);
  limits.request_deadline = std::chrono::seconds(options.timeout_seconds);
  limits.idle = std::chrono::seconds(options.idle_seconds);
  // Time to finish the work in flight and to write its answer.
  limits.stop_grace = 2 * limits.request_deadline;
  limits.max_connections = options.max_connections;
  limits.max_per_client = options.max_connections_per_client;
  // A database served for reads only is not pruned here.
  std::optional<EventPruner> pruner;
  if (!for_reads) pruner.emplace(options.backend);
  int status = ServeConnections(options.host, options.port, workers, limits,
                                service, [&](int port) {
                                  std::cerr << "listening on " << options.host
                                            << ":" << port << std::endl;
                                });
  if (status != 0) {
    std::cerr << "quillet: cannot listen on " << options.host << ":"
              << options.port << "\n";
    return status;
  }
  std::cerr << "quillet: stopped" << std::endl;
  return 0;
}

}  // namespace quillet::cli::http
