// What every answer carries: common headers, metrics, the access log, and
// for a write, the audit trail.
#include <algorithm>
#include <iostream>

#include "http/service.h"

namespace quillet::cli::http {

void Service::Abandoned(const Request&) { metrics_.Abandoned(); }

void Service::Finish(const Request& req, Response& res) {
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

}  // namespace quillet::cli::http
