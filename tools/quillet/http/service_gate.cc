// The checks on the I/O thread, before the body is read: Host, route,
// token and scope, the browser guard; and the answers that need no back end.
#include <iostream>

#include "http/console.h"
#include "http/routes.h"
#include "http/service.h"
#include "quillet/operations/desk_reads.h"
#include "quillet/text.h"

namespace quillet::cli::http {

Service::Service(const ServeOptions& options)
    : options_(options),
      guard_(options.host, options.allow_hosts, options.allow_origins) {}

bool Service::LoadTokens() {
  if (options_.token_file.empty()) return true;
  try {
    tokens_ = std::make_shared<TokenSet>(TokenSet::Load(options_.token_file));
    return true;
  } catch (const std::exception& e) {
    std::cerr << "quillet: --token-file: " << e.what() << std::endl;
    return false;
  }
}

void Service::Reload() {
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

std::optional<Response> Service::Quick(Request& req) {
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
      return ReplyError(
          403, std::string("this token's scope is ") + ScopeName(entry->scope) +
                   "; the request needs " + ScopeName(route.scope));
  }
  if (route.write)
    if (std::optional<Response> refusal = guard_.CheckWrite(req))
      return refusal;
  if (req.op == "healthz") return Reply(200, Json{{"status", "ok"}});
  if (req.op == "whoami")  // the console offers what the scope allows
    return Reply(200,
                 Json{{"name", req.caller.empty() ? Json() : Json(req.caller)},
                      {"scope", ScopeName(scope)}});
  if (req.op == "update-options")
    return Reply(200, operations::UpdateOptionsJson());
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

}  // namespace quillet::cli::http
