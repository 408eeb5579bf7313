// What every answer carries: common headers, metrics, the access log, and
// for a write, the refusal recorded in the event log and the --audit
// mirror's line.
#include <algorithm>
#include <iostream>

#include "http/routes.h"
#include "http/service.h"

namespace quillet::cli::http {

std::optional<Service::Writer> Service::WriterOf(const Request& req) const {
  if (!req.op.empty()) {  // routed
    if (!req.write) return std::nullopt;
    return Writer{req.op, req.route, req.arg, req.caller};
  }
  if (req.method.empty()) return std::nullopt;
  Writer writer;
  if (tokens_) {
    const TokenSet::Entry* entry = TokenOf(req);
    if (!entry) return std::nullopt;  // in the access log only
    writer.caller = entry->name;
  }
  Request probe;
  probe.method = req.method;
  if (ParseTarget(req.path, probe)) {
    RouteMatch match = MatchRoute(probe);
    if (!match.route || !match.route->write) return std::nullopt;
    writer.op = std::string(match.route->op);
    writer.route = match.route->id;
    writer.arg = std::move(match.arg);
  } else {  // no route can be read from it: a write if its method writes
    if (req.method != "POST" && req.method != "PUT") return std::nullopt;
    writer.op = "other";
  }
  return writer;
}

std::optional<Json> Service::RefusalOf(const Writer& writer, const Request& req,
                                       const Response& res) {
  // Carried out (the back end recorded it), or outcome unknown: stored,
  // perhaps, so not said to be refused. A replay and a dry run the back
  // end ran store nothing.
  if (res.status < 400 || res.status == 504 || res.replayed || res.dry_run)
    return std::nullopt;
  AuditSubject kind = SubjectOf(writer.route);
  if (kind == AuditSubject::kNone) return std::nullopt;  // no operation read
  // Why, in the answer's words: the service's message, else what the
  // operation raised or the back end said.
  Json answer = Json::parse(res.body, nullptr, false);
  std::string why;
  auto text = [&why](const Json& holder, const char* name) {
    if (why.empty() && holder.is_object() && holder.contains(name) &&
        holder[name].is_string())
      why = holder[name].get<std::string>();
  };
  text(answer, "message");
  if (answer.is_object() && answer.contains("error"))
    text(answer["error"], "description");
  text(answer, "description");
  text(answer, "errorDescription");
  text(answer, "errorText");
  const std::string* key = req.Header("Idempotency-Key");
  const std::string* dry = req.Header("Quillet-Dry-Run");
  std::string subject = !res.subject.empty() ? res.subject : writer.arg;
  Json refusal = {{"actor", writer.caller},
                  {"channel", "service"},
                  {"operation", writer.op}};
  refusal[kind == AuditSubject::kCall ? "call" : "item"] = subject;
  refusal["outcome"] =
      "refused: " + std::to_string(res.status) + (why.empty() ? "" : " " + why);
  refusal["request_key"] = key ? Json(*key) : Json();
  refusal["dry_run"] = dry && *dry == "true";
  return refusal;
}

void Service::Abandoned(const Request&) { metrics_.Abandoned(); }

void Service::Finish(const Request& req, Response& res) {
  res.Set("X-Content-Type-Options", "nosniff");
  res.Set("Referrer-Policy", "no-referrer");
  if (req.route == RouteId::kConsole && res.status == 200) {
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
  std::optional<Writer> writer =
      res.status == 401 ? std::nullopt : WriterOf(req);
  if (writer)
    if (std::optional<Json> refusal = RefusalOf(*writer, req, res))
      refusals_.Record(std::move(*refusal));
  if (writer) {
    Json entry = {
        {"token", writer->caller.empty() ? Json() : Json(writer->caller)},
        {"route", req.method + " " + req.path},
        {"op", writer->op}};
    std::string subject = !res.subject.empty() ? res.subject : writer->arg;
    AuditSubject kind = SubjectOf(writer->route);
    if (!subject.empty() && kind != AuditSubject::kNone)
      entry[kind == AuditSubject::kCall ? "call" : "item"] = subject;
    entry["status"] = res.status;
    entry["key"] = key ? Json(*key) : Json();
    entry["replayed"] = res.replayed;
    // Carried out, or only tried: asked for, though refused before it ran.
    const std::string* dry = req.Header("Quillet-Dry-Run");
    entry["dry_run"] = res.dry_run || (dry && *dry == "true");
    audit_.Append(std::move(entry));
  }
}

}  // namespace quillet::cli::http
