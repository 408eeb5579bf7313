// The service behind quillet serve (the connection layer's Handler): the
// checks made on the I/O thread, the operations and the reads on a worker,
// and what every answer carries. Its jobs are in files of their own:
// service_gate.cc (tokens and the checks before the body),
// service_writes.cc (the operations), // service_reads.cc (the reads, the event
// log's among them: GET /events and the audit routes), service_trace.cc
// (request traces) and service_finish.cc (common headers, the access log, the
// refusals recorded and the --audit mirror). server.cc starts and stops it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/audit.h"
#include "http/browser_guard.h"
#include "http/connection.h"
#include "http/event_feed.h"
#include "http/metrics.h"
#include "http/refusal_recorder.h"
#include "http/server.h"
#include "http/tokens.h"
#include "quillet/operations/desk_reads.h"
#include "quillet/operations/operation.h"
#include "quillet/operations/views.h"
#include "quillet/trace.h"

namespace quillet::cli::http {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kUnavailable = "the back end cannot be reached";
inline constexpr const char* kReadFailed =
    "the back end failed the read; the service's log says why";

inline Response Reply(int status, const Json& body) {
  return {status, "application/json",
          body.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

inline Response ReplyError(int status, const std::string& what) {
  return Reply(status, Json{{"message", what}});
}

// A call's version (operations::CallJson) as its strong ETag: quoted.
inline std::string EntityTag(const std::string& version) {
  return '"' + version + '"';
}

// An on/off request header: absent or "false" off, "true" on; `whole`
// (Quillet-Trace only) on with whole texts. Anything else, an empty value
// too, is a 400.
enum class Switch { kOff, kOn, kWhole };

// The token of an Authorization header "Bearer <token>" (one or more spaces
// after the scheme, which is matched in any case); nullopt otherwise.
std::optional<std::string_view> BearerToken(const std::string* header);

class Service : public Handler {
 public:
  explicit Service(const ServeOptions& options);

  // Opens --trace FILE for appending; false when it cannot be written.
  bool OpenTraceFile(const std::string& path);
  bool OpenAudit(const std::string& path) { return audit_.Open(path); }
  // Reads the token file; false (and says why on standard error) when it
  // cannot be used.
  bool LoadTokens();

  // On SIGHUP: the trace and audit files are opened again (logrotate moved
  // them), then the token file is re-read. A token file that cannot be used
  // on reload accepts no token until it is mended: an operator who emptied
  // it, or removed a line beside a typo, meant to revoke, and a revoked
  // token must not keep working.
  void Reload() override;
  // Every wait on the database, of this service's context, ends now.
  void Stopping() override;
  // The trace and audit files opened again, each between whole lines.
  void ReopenFiles();

  // On the I/O thread: everything decided without the back end.
  std::optional<Response> Quick(Request& req) override;

  // On a worker: the operations and the reads.
  Response Work(const Request& req) override;

  void Abandoned(const Request&) override;

  // Every answer: common headers, metrics, the access log; for a write by a
  // known caller that was refused, its record in the event log (the back
  // end records those carried out), and the --audit mirror's line.
  void Finish(const Request& req, Response& res) override;

 private:
  // The request's token among the loaded ones; nullptr when it names none.
  const TokenSet::Entry* TokenOf(const Request& req) const;

  // A write as the audit mirror has it: who asked, for which route.
  struct Writer {
    std::string op;
    RouteId route = RouteId::kNone;
    std::string arg;
    std::string caller;
  };
  // The write a request asks for, when it is one and its token is known (or
  // no tokens are used): as routed, or for a request refused before it was
  // routed (413, a malformed target, a header given twice), as it would
  // have been. nullopt: not a write, or not from a known token.
  std::optional<Writer> WriterOf(const Request& req) const;

  // The SERIALNUMBER row's value; nullopt when the values have none or are
  // not rows (which the operation layer refuses).
  static std::optional<Json> SerialOf(const Json& body);

  static std::string Subject(operations::Op op, const Json& body,
                             const Json& output, const std::string& arg);

  // The operation's request from the HTTP request's body (`body`, parsed)
  // and path; raises UsageError for one that cannot be used.
  static Json RequestOf(operations::Op op, const Request& req, Json body);

  // One operation: parse, prepare, run under the Idempotency-Key, answer.
  Response Operate(const Request& req, operations::Op op);

  const operations::BackendSetup& backend() const { return options_.backend; }

  // Whether the call or item an update's path names is not stored.
  bool Missing(const Request& req, operations::Op op) const;
  // 412 for a change refused because the call changed since the caller's
  // If-Match: the call as it is now, with its ETag.
  Response ChangedSinceRead(const Request& req,
                            const operations::Outcome& outcome);

  // Whether --trace named a file that is open.
  bool TracingToFile();
  // The request's trace: appended to the server's trace file (one request's
  // events together), and in the answer's "trace" when the request asked.
  void Traced(const std::vector<TraceEvent>& events, Switch in_body,
              Json& output);

  // A read of the back end: 400 for unusable input, 503 when the back end
  // cannot be reached or failed the read (what failed goes to standard
  // error, not the body).
  template <class Body>
  Response Read(Body body);

  static std::optional<int64_t> Number(const Request& req, const char* name,
                                       int64_t high);
  operations::CallQuery CallQueryOf(const Request& req) const;
  static operations::QueryParams ParamsOf(const Request& req);
  Response ListCalls(const Request& req);
  Response ListItems(const Request& req);
  Response Log(const Request& req);
  Response Audit(const Request& req);
  Response Events(const Request& req);
  // The refusal of a write, for the event log; nullopt when the outcome
  // says nothing to record: carried out (the back end recorded it),
  // replayed, a dry run the back end ran, or of unknown outcome.
  static std::optional<Json> RefusalOf(const Writer& writer, const Request& req,
                                       const Response& res);

  ServeOptions options_;
  BrowserGuard guard_;
  std::shared_ptr<const TokenSet> tokens_;  // I/O thread only
  Metrics metrics_;
  StreamGate streams_{metrics_};
  // Counts the re-reads of the token file; a stream ends when it moves.
  std::atomic<uint64_t> token_generation_{0};
  RefusalRecorder refusals_{options_.backend};
  AuditTrail audit_;  // --audit: the optional mirror
  Mutex trace_mutex_;
  std::ofstream trace_file_
      GUARDED_BY(trace_mutex_);  // --trace: every request's events, under it
};

}  // namespace quillet::cli::http
