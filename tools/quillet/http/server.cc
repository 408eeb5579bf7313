#include "http/server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "http/audit.h"
#include "http/browser_guard.h"
#include "http/capped_listing.h"
#include "http/connection.h"
#include "http/console.h"
#include "http/metrics.h"
#include "http/routes.h"
#include "http/status_map.h"
#include "http/tokens.h"
#include "input.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/desk_reads.h"
#include "quillet/operations/operation.h"
#include "quillet/operations/views.h"
#include "quillet/text.h"
#include "trace_output.h"

namespace quillet::cli::http {

using operations::BackendSetup;
using operations::CallQuery;
using operations::DumpJson;
using operations::ItemQuery;
using operations::MasterList;
using operations::Op;
using operations::Outcome;
using operations::PreparedOperation;
using operations::QueryParams;
using operations::RunOptions;
using operations::UsageError;
using operations::Verdict;

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kUnavailable = "the back end cannot be reached";
constexpr size_t kMaxAuditTail = 10000;

Response Reply(int status, const Json& body) {
  return {status, "application/json",
          body.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

Response ReplyError(int status, const std::string& what) {
  return Reply(status, Json{{"message", what}});
}

// An on/off request header: absent or "false" off, "true" on; `whole`
// (Quillet-Trace only) on with whole texts. Anything else, an empty value
// too, is a 400.
enum class Switch { kOff, kOn, kWhole };
Switch HeaderSwitch(const Request& req, const char* name, bool whole_allowed) {
  const std::string* value = req.Header(name);
  if (!value) return Switch::kOff;
  if (*value == "false") return Switch::kOff;
  if (*value == "true") return Switch::kOn;
  if (whole_allowed && *value == "whole") return Switch::kWhole;
  throw UsageError(std::string(name) + " takes true or false" +
                   (whole_allowed ? " (or whole)" : "") + ", not '" + *value +
                   "'");
}

class Service : public Handler {
 public:
  explicit Service(const ServeOptions& options)
      : options_(options),
        guard_(options.host, options.allow_hosts, options.allow_origins) {}

  // Opens --trace FILE for appending; false when it cannot be written.
  bool OpenTraceFile(const std::string& path) {
    trace_file_.open(path, std::ios::app);
    return trace_file_.is_open();
  }
  bool OpenAudit(const std::string& path) { return audit_.Open(path); }
  // Reads the token file; false (and says why on standard error) when it
  // cannot be used.
  bool LoadTokens() {
    if (options_.token_file.empty()) return true;
    try {
      tokens_ = std::make_shared<TokenSet>(TokenSet::Load(options_.token_file));
      return true;
    } catch (const std::exception& e) {
      std::cerr << "quillet: --token-file: " << e.what() << std::endl;
      return false;
    }
  }

  // A file that cannot be used on reload accepts no token until it is
  // mended: an operator who emptied it, or removed a line beside a typo,
  // meant to revoke, and a revoked token must not keep working.
  void Reload() override {
    if (options_.token_file.empty()) return;  // nothing to re-read
    if (LoadTokens()) {
      std::cerr << "quillet: tokens re-read" << std::endl;
    } else {
      tokens_ = std::make_shared<TokenSet>();
      std::cerr << "quillet: no token is accepted until the token file is "
                   "mended and re-read"
                << std::endl;
    }
  }

  // On the I/O thread: everything decided without the back end.
  std::optional<Response> Quick(Request& req) override {
    req.op = "other";
    metrics_.Started();
    if (!guard_.HostAllowed(*req.Header("Host")))
      return ReplyError(421, "this service does not answer to that Host");
    RouteMatch match = MatchRoute(req);
    if (req.method == "OPTIONS" && !match.allow.empty())
      if (std::optional<Response> preflight = guard_.Preflight(req))
        return preflight;
    if (!match.route) {
      if (match.allow.empty()) return ReplyError(404, "no such route");
      Response response = ReplyError(405, "the path takes " + match.allow);
      response.Set("Allow", match.allow);
      return response;
    }
    const Route& route = *match.route;
    req.op = std::string(route.op);
    req.arg = std::move(match.arg);
    req.write = route.write;
    Scope scope = Scope::kAdmin;  // without tokens, anyone may do anything
    if (tokens_ && !route.open) {
      const std::string* header = req.Header("Authorization");
      const TokenSet::Entry* entry =
          header && header->size() > 7 &&
                  EqualsIgnoringCase(std::string_view(*header).substr(0, 7),
                                     "Bearer ")
              ? tokens_->Find(std::string_view(*header).substr(7))
              : nullptr;
      if (!entry) {
        Response response = ReplyError(401, "a bearer token is required");
        response.Set("WWW-Authenticate", "Bearer");
        return response;
      }
      req.caller = entry->name;
      scope = entry->scope;
      if (entry->scope < route.scope)
        return ReplyError(403, std::string("this token's scope is ") +
                                   ScopeName(entry->scope) +
                                   "; the request needs " +
                                   ScopeName(route.scope));
    }
    if (route.write)
      if (std::optional<Response> refusal = guard_.CheckWrite(req))
        return refusal;
    if (req.op == "healthz") return Reply(200, Json{{"status", "ok"}});
    if (req.op == "whoami")  // the console offers what the scope allows
      return Reply(
          200, Json{{"name", req.caller.empty() ? Json() : Json(req.caller)},
                    {"scope", ScopeName(scope)}});
    if (req.op == "metrics")
      return Response{200, "text/plain; version=0.0.4", metrics_.Text()};
    if (req.op == "console") {
      for (const ConsoleFile& file : ConsoleFiles())
        if (req.path == file.path ||
            (req.path == "/" && std::string_view(file.path) == "/index.html"))
          return Response{200, file.content_type, std::string(file.body)};
    }
    return std::nullopt;
  }

  // On a worker: the operations and the reads.
  Response Work(const Request& req) override {
    // The route names the operation; from here on it is a type.
    if (std::optional<Op> operation = operations::OpNamed(req.op))
      return Operate(req, *operation);
    const std::string& op = req.op;
    if (op == "get-call")
      return Read([&] {
        std::optional<Json> call = operations::CallJson(backend(), req.arg);
        if (!call) return ReplyError(404, "no service call");
        return Reply(200, *call);
      });
    if (op == "get-item")
      return Read([&] {
        std::optional<Json> item = operations::ItemJson(backend(), req.arg);
        if (!item) return ReplyError(404, "no serialized item");
        return Reply(200, *item);
      });
    if (op == "list-calls") return ListCalls(req);
    if (op == "list-items") return ListItems(req);
    if (op == "log") return Log(req);
    if (op == "audit" || op == "call-audit" || op == "item-audit")
      return Audit(req);
    // Master data for the console's pickers, and how many calls a filter
    // matches (desk_reads.h).
    if (op == "partners" || op == "service-objects")
      return Read([&] {
        return Reply(200, operations::MasterDataJson(
                              backend(),
                              op == "partners" ? MasterList::kBusinessPartners
                                               : MasterList::kServiceObjects,
                              ParamsOf(req)));
      });
    if (op == "call-count")
      return Read([&] {
        return Reply(200,
                     operations::CallCountJson(backend(), CallQueryOf(req)));
      });
    if (op == "readyz")  // ready when a write would be taken now
      return Read([&] {
        operations::CheckHealth(backend());
        return Reply(200, Json{{"status", "ready"}});
      });
    return ReplyError(404, "no such route");
  }

  void Abandoned(const Request&) override { metrics_.Abandoned(); }

  // Every answer: common headers, metrics, the access log, the audit trail.
  void Finish(const Request& req, Response& res) override {
    res.Set("X-Content-Type-Options", "nosniff");
    res.Set("Referrer-Policy", "no-referrer");
    if (req.op == "console" && res.status == 200) {
      res.Set("Content-Security-Policy",
              "default-src 'self'; script-src 'self'; style-src 'self'; "
              "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
      res.Set("X-Frame-Options", "DENY");
      res.Set("Cache-Control", "no-cache");
    } else {
      res.Set("Cache-Control", "no-store");
    }
    if (res.status == 503 &&
        std::none_of(res.headers.begin(), res.headers.end(),
                     [](const auto& h) { return h.first == "Retry-After"; }))
      res.Set("Retry-After", "1");
    guard_.AddCors(req, res);
    double seconds =
        std::chrono::duration<double>(Clock::now() - req.start).count();
    if (!req.op.empty()) metrics_.Finished(req.op, res.status, seconds);
    const std::string* key = req.Header("Idempotency-Key");
    Json line = {{"method", req.method},
                 {"path", req.path},
                 {"status", res.status},
                 {"ms", seconds * 1000},
                 {"key", key ? *key : ""}};
    if (!req.caller.empty()) line["token"] = req.caller;
    std::string text =
        line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    // Writes by whoever may write: a request refused for want of a token
    // is in the access log only, so that nobody without one can grow the
    // trail.
    if (req.write && res.status != 401) {
      Json entry = {{"token", req.caller.empty() ? Json() : Json(req.caller)},
                    {"route", req.method + " " + req.path},
                    {"op", req.op}};
      std::string subject = !res.subject.empty() ? res.subject : req.arg;
      if (!subject.empty())
        entry[req.op.find("call") != std::string::npos ? "call" : "item"] =
            subject;
      entry["status"] = res.status;
      entry["key"] = key ? Json(*key) : Json();
      entry["replayed"] = res.replayed;
      entry["dry_run"] = res.dry_run;  // carried out, or only tried
      audit_.Append(std::move(entry));
    }
  }

 private:
  // The SERIALNUMBER row's value; nullopt when the values have none or are
  // not rows (which the operation layer refuses).
  static std::optional<Json> SerialOf(const Json& body) {
    auto values = body.find("values");
    if (values == body.end() || !values->is_array()) return std::nullopt;
    for (const Json& row : *values)
      if (row.is_array() && row.size() == 2 && row[0] == "SERIALNUMBER")
        return row[1];
    return std::nullopt;
  }

  static std::string Subject(Op op, const Json& body, const Json& output,
                             const std::string& arg) {
    if (!arg.empty()) return arg;
    if (op == Op::kCreateCall) {
      auto result = output.find("result");
      if (result != output.end() && result->is_object() &&
          result->contains("CALLNUMBER") && (*result)["CALLNUMBER"].is_string())
        return (*result)["CALLNUMBER"];
    }
    if (op == Op::kCreateItem && body.is_object()) {
      auto values = body.find("values");
      if (values != body.end() && values->is_array())
        for (const Json& row : *values)
          if (row.is_array() && row.size() == 2 && row[0] == "SERIALNUMBER" &&
              row[1].is_string())
            return row[1];
    }
    return "";
  }

  // The operation's request from the HTTP request's body (`body`, parsed)
  // and path; raises UsageError for one that cannot be used.
  static Json RequestOf(Op op, const Request& req, Json body) {
    const Json name(operations::OpName(op));
    switch (op) {
      case Op::kCreateCall:
        return Json{{"op", name}, {"details", std::move(body)}};
      case Op::kUpdateCall:
        if (!body.is_object())
          throw UsageError("the call details must be a JSON object");
        if (body.contains("CALLNUMBER") && body["CALLNUMBER"] != req.arg)
          throw UsageError("CALLNUMBER differs from the call in the path");
        body["CALLNUMBER"] = req.arg;
        return Json{{"op", name}, {"details", std::move(body)}};
      case Op::kCreateItem:
      case Op::kUpdateItem:
        if (!body.is_object())
          throw UsageError(
              "an item request is a JSON object with \"component\" and "
              "\"values\"");
        if (op == Op::kUpdateItem) {
          auto values = body.find("values");
          std::optional<Json> serial = SerialOf(body);
          if (values != body.end() && values->is_array() && !serial)
            throw UsageError("the values have no SERIALNUMBER row");
          if (serial && *serial != req.arg)
            throw UsageError("SERIALNUMBER differs from the item in the path");
        }
        body["op"] = name;
        return body;
      case Op::kTimeFormat:
        if (!req.Param("value"))
          throw UsageError("time-format needs ?value=<JSON>");
        return Json{{"op", name},
                    {"value", ParseJson(*req.Param("value"), "the value")}};
    }
    throw UsageError("no such operation");
  }

  // One operation: parse, prepare, run under the Idempotency-Key, answer.
  Response Operate(const Request& req, Op op) {
    PreparedOperation prepared;
    RunOptions run;
    Switch trace_in_body = Switch::kOff;
    Json body;
    try {
      body = op == Op::kTimeFormat ? Json() : ParseJson(req.body, "the body");
      prepared = operations::Prepare(RequestOf(op, req, body));
      if (const std::string* key = req.Header("Idempotency-Key")) {
        if (key->find_first_not_of(" \t") == std::string::npos)
          throw UsageError("Idempotency-Key is blank");
        run.request_key = *key;
        run.key_store = options_.backend.db;
        operations::CheckRequestKey(run.request_key);
      }
      run.dry_run = HeaderSwitch(req, "Quillet-Dry-Run", false) == Switch::kOn;
      trace_in_body = HeaderSwitch(req, "Quillet-Trace", true);
    } catch (const UsageError& e) {
      return ReplyError(400, e.what());
    }
    std::optional<Trace> trace;
    if (trace_in_body != Switch::kOff || trace_file_.is_open())
      trace.emplace(
          TraceOptions{.whole_texts = trace_in_body == Switch::kWhole});
    run.trace = trace ? &*trace : nullptr;
    // Calls keeps no state and serves the thread that made it: one per
    // worker, created by class name (registered once, at start).
    thread_local Ref<CallsInterface> calls;
    try {
      if (!calls) calls = CreateAs<CallsInterface>(kCallsClassName);
    } catch (const Error& e) {
      std::cerr << "quillet: " << ToUtf8(e.info().description) << std::endl;
      return ReplyError(503, kUnavailable);
    }
    Outcome outcome = operations::Run(*calls, prepared, run);
    // A failure is the back end's being down when it cannot even be opened
    // now: 503, to be retried, rather than the operation's own outcome (whose
    // text may name the database).
    if ((outcome.verdict == Verdict::kNothingRecorded ||
         outcome.verdict == Verdict::kRaised) &&
        !operations::BackendReachable(backend())) {
      std::cerr << "quillet: " << outcome.message << std::endl;
      return ReplyError(503, kUnavailable);
    }
    // Busy or away: what the back end said may name its host; it goes to
    // standard error, the client hears only that it may try again.
    if (outcome.verdict == Verdict::kRetryLater) {
      std::cerr << "quillet: " << outcome.message << std::endl;
      return ReplyError(503,
                        "the back end was busy or could not be reached; "
                        "nothing was written; try again");
    }
    if (trace) Traced(trace->TakeEvents(), trace_in_body, outcome.output);
    int status = StatusOf(prepared.op, outcome);
    if (status == 424 && Missing(req, prepared.op))
      status = 404;  // the path names none
    Response res = Reply(status, outcome.output);
    if (outcome.replayed) res.Set("Idempotent-Replayed", "true");
    if (outcome.dry_run) {
      res.dry_run = true;
      res.Set("Quillet-Dry-Run", "true");
      if (status == 201) res.status = 200;  // nothing was created
    }
    res.subject = Subject(prepared.op, body, outcome.output, req.arg);
    res.replayed = outcome.replayed;
    return res;
  }

  const BackendSetup& backend() const { return options_.backend; }

  // Whether the call or item an update's path names is not stored.
  bool Missing(const Request& req, operations::Op op) const {
    if (op != operations::Op::kUpdateCall && op != operations::Op::kUpdateItem)
      return false;
    try {
      return op == operations::Op::kUpdateCall
                 ? !operations::CallJson(backend(), req.arg)
                 : !operations::ItemJson(backend(), req.arg);
    } catch (const Error&) {
      return false;  // the refusal stands
    }
  }

  // The request's trace: appended to the server's trace file (one request's
  // events together), and in the answer's "trace" when the request asked.
  void Traced(const std::vector<TraceEvent>& events, Switch in_body,
              Json& output) {
    if (trace_file_.is_open()) {
      std::lock_guard lock(trace_mutex_);
      for (const TraceEvent& event : events)
        trace_file_ << DumpJson(TraceEventJson(event)) << '\n';
      trace_file_.flush();
    }
    if (in_body == Switch::kOff) return;
    Json& out = output["trace"] = Json::array();
    for (const TraceEvent& event : events) out.push_back(TraceEventJson(event));
  }

  // A read of the back end: 400 for unusable input, 503 when the back end
  // cannot be reached (what failed goes to standard error, not the body).
  template <class Body>
  Response Read(Body body) {
    try {
      return body();
    } catch (const UsageError& e) {
      return ReplyError(400, e.what());
    } catch (const Error& e) {
      std::cerr << "quillet: " << ToUtf8(e.info().description) << std::endl;
      return ReplyError(503, kUnavailable);
    }
  }

  static std::optional<int64_t> Number(const Request& req, const char* name,
                                       int64_t high) {
    const std::string* text = req.Param(name);
    if (!text) return std::nullopt;
    if (text->empty() || text->size() > 12 ||
        text->find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(*text) > high)
      throw UsageError(std::string("?") + name +
                       " must be a whole number up to " + std::to_string(high));
    return std::stoll(*text);
  }

  static CallQuery CallQueryOf(const Request& req) {
    CallQuery query;
    query.limit = Number(req, "limit", 100000).value_or(1000);
    query.status = Number(req, "status", 255);
    query.changed_since = Number(req, "changed_since", INT32_MAX);
    if (const std::string* v = req.Param("sold_to")) query.sold_to = *v;
    if (const std::string* v = req.Param("text")) query.text = *v;
    if (const std::string* v = req.Param("order")) {
      if (*v != "number" && *v != "changed")
        throw UsageError("?order is number or changed");
      query.newest_change_first = *v == "changed";
    }
    return query;
  }

  static QueryParams ParamsOf(const Request& req) {
    return QueryParams(req.query.begin(), req.query.end());
  }

  Response ListCalls(const Request& req) {
    return Read([&] {
      CallQuery query = CallQueryOf(req);
      if (const std::string* v = req.Param("after")) {
        // A client's mistake, not the back end's.
        if (!operations::CallJson(backend(), *v))
          throw UsageError("?after names no stored call");
        query.after = *v;
      }
      CappedListing listing;
      try {
        operations::VisitCalls(
            backend(), query, [&](const Json& call, const std::string& number) {
              listing.Add(call, number);
            });
      } catch (const CappedListing::Full&) {
      }
      return std::move(listing).Answer();
    });
  }

  Response ListItems(const Request& req) {
    return Read([&] {
      ItemQuery query;
      query.limit = Number(req, "limit", 100000).value_or(1000);
      if (const std::string* v = req.Param("after")) {
        if (!operations::ItemJson(backend(), *v))
          throw UsageError("?after names no stored item");
        query.after = *v;
      }
      if (const std::string* v = req.Param("search")) query.text = *v;
      CappedListing listing;
      try {
        operations::VisitItems(
            backend(), query, [&](const Json& item, const std::string& serial) {
              listing.Add(item, serial);
            });
      } catch (const CappedListing::Full&) {
      }
      return std::move(listing).Answer();
    });
  }

  Response Log(const Request& req) {
    try {
      return Reply(200, operations::LogPageJson(options_.backend.LogPath(),
                                                ParamsOf(req)));
    } catch (const UsageError& e) {
      return ReplyError(400, e.what());
    }
  }

  Response Audit(const Request& req) {
    try {
      size_t tail =
          static_cast<size_t>(Number(req, "tail", kMaxAuditTail).value_or(100));
      if (req.op == "audit") return Reply(200, audit_.Read(tail));
      return Reply(
          200,
          audit_.Read(tail, req.op == "call-audit" ? "call" : "item", req.arg));
    } catch (const UsageError& e) {
      return ReplyError(400, e.what());
    }
  }

  ServeOptions options_;
  BrowserGuard guard_;
  std::shared_ptr<const TokenSet> tokens_;  // I/O thread only
  Metrics metrics_;
  AuditTrail audit_;
  std::mutex trace_mutex_;
  std::ofstream trace_file_;  // --trace: every request's events
};

}  // namespace

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
  try {
    operations::OpenCalls(options.backend, true);  // ready only once it is
  } catch (const Error& e) {
    std::cerr << "quillet: " << ToUtf8(e.info().description) << "\n";
    return 2;
  }
  Service service(options);
  if (!service.LoadTokens()) return 2;
  if (!options.trace_path.empty() &&
      !service.OpenTraceFile(options.trace_path)) {
    std::cerr << "quillet: --trace: cannot write '" << options.trace_path
              << "'\n";
    return 2;
  }
  std::string audit = options.audit_path.empty()
                          ? DefaultAuditPath(options.backend)
                          : options.audit_path;
  if (!service.OpenAudit(audit)) {
    std::cerr << "quillet: --audit: cannot write '" << audit << "'\n";
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
