#include "http/server.h"

#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "desk_reads.h"
#include "http/console.h"
#include "http/metrics.h"
#include "http/status_map.h"
#include "input.h"
#include "operations.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/text.h"
#include "views.h"

namespace quillet::cli::http {
namespace {

using Clock = std::chrono::steady_clock;
using standins::MasterList;

// What the access log and the metrics need of the request being answered
// on this worker thread.
struct RequestState {
  Clock::time_point start;
  bool counted = false;
  std::string op = "other";
};
thread_local RequestState current;

void Reply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                  "application/json");
}

void ReplyError(httplib::Response& res, int status, const std::string& what) {
  Reply(res, status, Json{{"message", what}});
}

// An on/off request header: absent or "false" off, "true" on; `whole`
// (Quillet-Trace only) on with whole texts. Anything else is a 400.
enum class Switch { kOff, kOn, kWhole };
Switch HeaderSwitch(const httplib::Request& req, const char* name,
                    bool whole_allowed) {
  if (!req.has_header(name)) return Switch::kOff;
  std::string value = req.get_header_value(name);
  if (value == "false") return Switch::kOff;
  if (value == "true") return Switch::kOn;
  if (whole_allowed && value == "whole") return Switch::kWhole;
  throw UsageError(std::string(name) + " takes true or false" +
                   (whole_allowed ? " (or whole)" : "") + ", not '" + value +
                   "'");
}

// Equal without telling, through timing, how much of it was right.
bool SameToken(const std::string& given, const std::string& expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i)
    diff |= static_cast<unsigned char>(given[i]) ^
            static_cast<unsigned char>(expected[i % (expected.size() + 1)]);
  return diff == 0;
}

class Service {
 public:
  // Opens --trace FILE for appending; false when it cannot be written.
  bool OpenTraceFile(const std::string& path) {
    trace_file_.open(path, std::ios::app);
    return trace_file_.is_open();
  }

  explicit Service(const ServeOptions& options) : options_(options) {}

  void Routes(httplib::Server& server) {
    server.Post("/calls", [this](const auto& req, auto& res) {
      Operate(req, res, "create-call", [&](const Json& body) {
        return Json{{"op", "create-call"}, {"details", body}};
      });
    });
    server.Post(
        R"(/calls/([^/]+)/changes)", [this](const auto& req, auto& res) {
          Operate(req, res, "update-call", [&](Json body) {
            if (!body.is_object())
              throw UsageError("the call details must be a JSON object");
            std::string number = req.matches[1];
            if (body.contains("CALLNUMBER") && body["CALLNUMBER"] != number)
              throw UsageError("CALLNUMBER differs from the call in the path");
            body["CALLNUMBER"] = number;
            return Json{{"op", "update-call"}, {"details", body}};
          });
        });
    auto item = [this](const char* op) {
      return [this, op](const httplib::Request& req, httplib::Response& res) {
        Operate(req, res, op, [&](Json body) {
          if (!body.is_object())
            throw UsageError(
                "an item request is a JSON object with \"component\" and "
                "\"values\"");
          if (req.matches.size() > 1 && !SerialIs(body, req.matches[1]))
            throw UsageError("SERIALNUMBER differs from the item in the path");
          body["op"] = op;
          return body;
        });
      };
    };
    server.Post("/items", item("create-item"));
    server.Put(R"(/items/([^/]+))", item("update-item"));
    server.Get("/time-format", [this](const auto& req, auto& res) {
      current.op = "time-format";
      if (!req.has_param("value"))
        return ReplyError(res, 400, "time-format needs ?value=<JSON>");
      Operate(req, res, "time-format", [&](const Json&) {
        return Json{
            {"op", "time-format"},
            {"value", ParseJson(req.get_param_value("value"), "the value")}};
      });
    });
    server.Get("/calls",
               [this](const auto& req, auto& res) { ListCalls(req, res); });
    server.Get(R"(/calls/([^/]+))", [this](const auto& req, auto& res) {
      Read(res, "get-call", [&](standins::BackendStore& store) {
        std::optional<standins::StoredCall> call = store.Call(req.matches[1]);
        if (!call) return ReplyError(res, 404, "no service call");
        Reply(res, 200, CallJson(*call));
      });
    });
    server.Get("/items",
               [this](const auto& req, auto& res) { ListItems(req, res); });
    server.Get(R"(/items/([^/]+))", [this](const auto& req, auto& res) {
      Read(res, "get-item", [&](standins::BackendStore& store) {
        std::optional<standins::StoredItem> item = store.Item(req.matches[1]);
        if (!item) return ReplyError(res, 404, "no serialized item");
        Reply(res, 200, ItemJson(*item));
      });
    });
    server.Get("/log", [this](const auto& req, auto& res) { Log(req, res); });
    // Master data for the console's pickers (desk_reads.h).
    auto master = [this](MasterList list) {
      return [this, list](const httplib::Request& req, httplib::Response& res) {
        Read(res, "master-data", [&](standins::BackendStore& store) {
          Reply(res, 200, MasterDataJson(store, list, req.params));
        });
      };
    };
    server.Get("/partners", master(MasterList::kBusinessPartners));
    server.Get("/call-count", [this](const auto& req, auto& res) {
      Read(res, "call-count", [&](standins::BackendStore& store) {
        Reply(res, 200, CallCountJson(store, CallQueryOf(req)));
      });
    });
    server.Get("/service-objects", master(MasterList::kServiceObjects));
    server.Get("/healthz", [this](const auto&, auto& res) {
      current.op = "healthz";
      try {
        standins::BackendStore store(options_.backend.db,
                                     standins::BackendStore::Open::kForReading);
        Reply(res, 200, Json{{"status", "ok"}});
      } catch (const Error& e) {
        ReplyError(res, 503, ToUtf8(e.info().description));
      }
    });
    // The web console and the OpenAPI description, from the binary.
    for (const ConsoleFile& file : ConsoleFiles()) {
      auto serve = [&file](const httplib::Request&, httplib::Response& res) {
        current.op = "console";
        res.set_content(std::string(file.body), file.content_type);
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; script-src 'self'; style-src "
                       "'self'");
        res.set_header("X-Content-Type-Options", "nosniff");
      };
      server.Get(file.path, serve);
      if (std::string_view(file.path) == "/index.html") server.Get("/", serve);
    }
    server.Get("/metrics", [this](const auto&, auto& res) {
      current.op = "metrics";
      res.set_content(metrics_.Text(), "text/plain; version=0.0.4");
    });
  }

  // Token, timing and metrics around every request.
  httplib::Server::HandlerResponse Before(const httplib::Request& req,
                                          httplib::Response& res) {
    current = {Clock::now(), true, "other"};
    metrics_.Started();
    bool open_path = req.path == "/healthz" || req.path == "/" ||
                     req.path == "/index.html" || req.path == "/console.js" ||
                     req.path == "/console.css" || req.path == "/favicon.svg" ||
                     req.path == "/openapi.json";
    if (options_.token && !open_path) {
      std::string header = req.get_header_value("Authorization");
      if (header.rfind("Bearer ", 0) != 0 ||
          !SameToken(header.substr(7), *options_.token)) {
        res.set_header("WWW-Authenticate", "Bearer");
        ReplyError(res, 401, "a bearer token is required");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void After(const httplib::Request& req, const httplib::Response& res) {
    double seconds = 0;
    if (current.counted) {
      seconds =
          std::chrono::duration<double>(Clock::now() - current.start).count();
      metrics_.Finished(current.op, res.status, seconds);
    }
    Json line = {{"method", req.method},
                 {"path", req.path},
                 {"status", res.status},
                 {"ms", seconds * 1000},
                 {"key", req.get_header_value("Idempotency-Key")}};
    {
      std::lock_guard lock(log_mutex_);
      std::cerr << line.dump(-1, ' ', false, Json::error_handler_t::replace)
                << "\n";
    }
    current.counted = false;
  }

 private:
  static bool SerialIs(const Json& body, const std::string& serial) {
    auto values = body.find("values");
    if (values == body.end() || !values->is_array()) return true;
    for (const Json& row : *values)
      if (row.is_array() && row.size() == 2 && row[0] == "SERIALNUMBER")
        return row[1] == serial;
    return false;
  }

  // One operation: parse, prepare, run under the Idempotency-Key, answer.
  template <class Request>
  void Operate(const httplib::Request& req, httplib::Response& res,
               const char* op, Request make_request) {
    current.op = op;
    PreparedOperation prepared;
    RunOptions run;
    Switch trace_in_body = Switch::kOff;
    try {
      Json body = std::string(op) == "time-format"
                      ? Json()
                      : ParseJson(req.body, "the body");
      prepared = Prepare(make_request(body));
      if (req.has_header("Idempotency-Key")) {
        run.request_key = req.get_header_value("Idempotency-Key");
        CheckRequestKey(run.request_key);
      }
      run.dry_run = HeaderSwitch(req, "Quillet-Dry-Run", false) == Switch::kOn;
      trace_in_body = HeaderSwitch(req, "Quillet-Trace", true);
    } catch (const UsageError& e) {
      return ReplyError(res, 400, e.what());
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
      return ReplyError(res, 503, ToUtf8(e.info().description));
    }
    Outcome outcome = Run(*calls, prepared, run);
    if (outcome.replayed) res.set_header("Idempotent-Replayed", "true");
    if (trace) Traced(trace->TakeEvents(), trace_in_body, outcome.output);
    int status = StatusOf(prepared.op, outcome);
    if (outcome.dry_run) {
      res.set_header("Quillet-Dry-Run", "true");
      if (status == 201) status = 200;  // nothing was created
    }
    Reply(res, status, outcome.output);
  }

  // The request's trace: appended to the server's trace file (one request's
  // events together), and in the answer's "trace" when the request asked.
  void Traced(const std::vector<TraceEvent>& events, Switch in_body,
              Json& output) {
    if (trace_file_.is_open()) {
      std::lock_guard lock(trace_mutex_);
      for (const TraceEvent& event : events)
        trace_file_ << ToJsonLine(event) << '\n';
      trace_file_.flush();
    }
    if (in_body == Switch::kOff) return;
    Json& out = output["trace"] = Json::array();
    for (const TraceEvent& event : events)
      out.push_back(Json::parse(ToJsonLine(event)));
  }

  template <class Body>
  void Read(httplib::Response& res, const char* op, Body body) {
    current.op = op;
    try {
      standins::BackendStore store(options_.backend.db,
                                   standins::BackendStore::Open::kForReading);
      body(store);
    } catch (const UsageError& e) {
      ReplyError(res, 400, e.what());
    } catch (const Error& e) {
      ReplyError(res, 503, ToUtf8(e.info().description));
    }
  }

  static std::optional<int64_t> Number(const httplib::Request& req,
                                       const char* name, int64_t high) {
    if (!req.has_param(name)) return std::nullopt;
    std::string text = req.get_param_value(name);
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(text) > high)
      throw UsageError(std::string("?") + name +
                       " must be a whole number up to " + std::to_string(high));
    return std::stoll(text);
  }

  static standins::CallQuery CallQueryOf(const httplib::Request& req) {
    standins::CallQuery query;
    query.limit = Number(req, "limit", 100000).value_or(1000);
    query.status = Number(req, "status", 255);
    query.changed_since = Number(req, "changed_since", INT32_MAX);
    if (req.has_param("after")) query.after = req.get_param_value("after");
    if (req.has_param("sold_to"))
      query.sold_to = req.get_param_value("sold_to");
    if (req.has_param("text")) query.text = req.get_param_value("text");
    if (req.has_param("order")) {
      std::string order = req.get_param_value("order");
      if (order != "number" && order != "changed")
        throw UsageError("?order is number or changed");
      query.newest_change_first = order == "changed";
    }
    return query;
  }

  void ListCalls(const httplib::Request& req, httplib::Response& res) {
    Read(res, "list-calls", [&](standins::BackendStore& store) {
      standins::CallQuery query = CallQueryOf(req);
      std::ostringstream out;
      cli::ListCalls(out, store, query, true);
      res.set_content(out.str(), "application/json");
    });
  }

  void ListItems(const httplib::Request& req, httplib::Response& res) {
    Read(res, "list-items", [&](standins::BackendStore& store) {
      standins::ItemQuery query;
      query.limit = Number(req, "limit", 100000).value_or(1000);
      if (req.has_param("after")) query.after = req.get_param_value("after");
      if (req.has_param("search")) query.text = req.get_param_value("search");
      std::ostringstream out;
      cli::ListItems(out, store, query, true);
      res.set_content(out.str(), "application/json");
    });
  }

  void Log(const httplib::Request& req, httplib::Response& res) {
    current.op = "log";
    try {
      Reply(res, 200, LogPageJson(options_.backend.LogPath(), req.params));
    } catch (const UsageError& e) {
      ReplyError(res, 400, e.what());
    }
  }

  ServeOptions options_;
  Metrics metrics_;
  std::mutex log_mutex_;
  std::mutex trace_mutex_;
  std::ofstream trace_file_;  // --trace: every request's events
};

}  // namespace

int Serve(const ServeOptions& options) {
  try {
    OpenCalls(options.backend, true);  // ready only once the back end is
  } catch (const Error& e) {
    std::cerr << "quillet: " << ToUtf8(e.info().description) << "\n";
    return 2;
  }
  // SIGTERM and SIGINT are taken by one thread that stops the server; every
  // other thread has them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Service service(options);
  if (!options.trace_path.empty()) {
    if (!service.OpenTraceFile(options.trace_path)) {
      std::cerr << "quillet: --trace: cannot write '" << options.trace_path
                << "'\n";
      return 2;
    }
  }
  httplib::Server server;
  int workers =
      options.workers > 0
          ? options.workers
          : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  server.new_task_queue = [workers] {
    return new httplib::ThreadPool(workers);
  };
  // Answers go out at once: headers and body are written separately, and
  // with Nagle's algorithm the body would wait for the client's delayed
  // acknowledgement (about 40 ms a request).
  server.set_tcp_nodelay(true);
  server.set_payload_max_length(options.body_limit);
  server.set_read_timeout(options.timeout_seconds, 0);
  server.set_write_timeout(options.timeout_seconds, 0);
  server.set_keep_alive_timeout(options.timeout_seconds);
  server.set_pre_routing_handler(
      [&](const auto& req, auto& res) { return service.Before(req, res); });
  server.set_logger(
      [&](const auto& req, const auto& res) { service.After(req, res); });
  server.set_error_handler([](const auto&, auto& res) {
    if (res.body.empty()) {
      Json body = {{"message", res.status == 404 ? "no such route"
                               : res.status == 413
                                   ? "the request body is over the size limit"
                                   : "the request cannot be answered"}};
      res.set_content(body.dump(), "application/json");
    }
  });
  service.Routes(server);

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
  } else if (!server.bind_to_port(options.host, port)) {
    port = -1;
  }
  if (port < 0) {
    std::cerr << "quillet: cannot listen on " << options.host << ":"
              << options.port << "\n";
    return 2;
  }
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    server.stop();
  });
  std::cerr << "listening on " << options.host << ":" << port << std::endl;
  server.listen_after_bind();
  // Listening ended through the signal, or failed: either way the stopper
  // is told to end (a signal it already took is not taken twice).
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  std::cerr << "quillet: stopped" << std::endl;
  return 0;
}

}  // namespace quillet::cli::http
