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
    auto loaded =
        std::make_shared<TokenSet>(TokenSet::Load(options_.token_file));
    if (tokens_) loaded->Succeed(*tokens_);  // a re-read: what was dropped
    tokens_ = std::move(loaded);
    return true;
  } catch (const std::exception& e) {
    std::cerr << "quillet: --token-file: " << e.what() << std::endl;
    return false;
  }
}

void Service::Stopping() { operations::StopWaitingForDatabases(backend()); }

void Service::Reload() {
  ReopenFiles();
  if (options_.token_file.empty()) return;  // nothing to re-read
  // Open event streams end: each client reconnects and is let in again
  // only if its token still may read (a revoked one is not).
  ++token_generation_;
  if (LoadTokens()) {
    std::cerr << "quillet: tokens re-read" << std::endl;
  } else {
    // An operator who emptied the file meant to revoke: the tokens it took
    // are told so until a mended file takes them again.
    auto none = std::make_shared<TokenSet>();
    if (tokens_) none->Succeed(*tokens_);
    tokens_ = std::move(none);
    std::cerr << "quillet: no token is accepted until the token file is "
                 "mended and re-read"
              << std::endl;
  }
}

std::optional<std::string_view> BearerToken(const std::string* header) {
  // "Bearer", one or more spaces, the token.
  if (!header || header->size() < 7 ||
      !EqualsIgnoringCase(std::string_view(*header).substr(0, 6), "Bearer") ||
      (*header)[6] != ' ')
    return std::nullopt;
  std::string_view token = std::string_view(*header).substr(6);
  token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
  if (token.empty()) return std::nullopt;
  return token;
}

const TokenSet::Entry* Service::TokenOf(const Request& req) const {
  std::optional<std::string_view> token =
      BearerToken(req.Header("Authorization"));
  return token ? tokens_->Find(*token) : nullptr;
}

std::optional<Response> Service::Quick(Request& req) {
  req.op = "other";
  metrics_.Started();
  if (!BrowserGuard::HostWellFormed(*req.Header("Host")))
    return ReplyError(400, "the Host header is malformed");
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
  req.route = route.id;
  req.arg = std::move(match.arg);
  req.write = route.write;
  Scope scope = Scope::kAdmin;  // without tokens, anyone may do anything
  if (tokens_ && !route.open) {
    const TokenSet::Entry* entry = TokenOf(req);
    if (!entry) {
      // A token the service took before a re-read dropped it is told so;
      // any other is only refused.
      std::optional<std::string_view> token =
          BearerToken(req.Header("Authorization"));
      bool revoked = token && tokens_->Revoked(*token);
      Response response =
          ReplyError(401, revoked ? "this token was revoked"
                                  : "a bearer token is required");
      response.Set("WWW-Authenticate",
                   revoked ? "Bearer error=\"invalid_token\", "
                             "error_description=\"the token was revoked\""
                           : "Bearer");
      return response;
    }
    req.caller = entry->name;
    req.engineer = entry->engineer;
    scope = entry->scope;
    if (entry->scope < route.scope)
      return ReplyError(
          403, std::string("this token's scope is ") + ScopeName(entry->scope) +
                   "; the request needs " + ScopeName(route.scope));
  }
  if (route.write)
    if (std::optional<Response> refusal = guard_.CheckWrite(req))
      return refusal;
  switch (req.route) {
    case RouteId::kHealthz:
      return Reply(200, Json{{"status", "ok"}});
    case RouteId::kWhoami: {  // the console offers what the scope allows
      Json who{{"name", req.caller.empty() ? Json() : Json(req.caller)},
               {"scope", ScopeName(scope)}};
      if (!req.engineer.empty()) who["engineer"] = req.engineer;
      return Reply(200, who);
    }
    case RouteId::kUpdateOptions:
      return Reply(200, operations::UpdateOptionsJson());
    case RouteId::kConsole:
      for (const ConsoleFile& file : ConsoleFiles())
        if (req.path == file.path ||
            (req.path == "/" && std::string_view(file.path) == "/index.html"))
          return Response{200, file.content_type, std::string(file.body)};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace quillet::cli::http
