#include "http/routes.h"

#include <vector>

namespace quillet::cli::http {
namespace {

struct Pattern {
  std::vector<std::string_view> segments;  // "*": the argument
  Route route;
};

const std::vector<Pattern>& Patterns() {
  static const auto* patterns = new std::vector<Pattern>{
      {{"calls"}, {"GET", "list-calls", Scope::kRead, false, false}},
      {{"calls"}, {"POST", "create-call", Scope::kWrite, false, true}},
      {{"calls", "*"}, {"GET", "get-call", Scope::kRead, false, false}},
      {{"calls", "*", "changes"},
       {"POST", "update-call", Scope::kWrite, false, true}},
      {{"calls", "*", "audit"},
       {"GET", "call-audit", Scope::kAdmin, false, false}},
      {{"items"}, {"GET", "list-items", Scope::kRead, false, false}},
      {{"items"}, {"POST", "create-item", Scope::kWrite, false, true}},
      {{"items", "*"}, {"GET", "get-item", Scope::kRead, false, false}},
      {{"items", "*"}, {"PUT", "update-item", Scope::kWrite, false, true}},
      {{"items", "*", "audit"},
       {"GET", "item-audit", Scope::kAdmin, false, false}},
      {{"time-format"}, {"GET", "time-format", Scope::kRead, false, false}},
      {{"log"}, {"GET", "log", Scope::kRead, false, false}},
      {{"audit"}, {"GET", "audit", Scope::kAdmin, false, false}},
      {{"partners"}, {"GET", "partners", Scope::kRead, false, false}},
      {{"service-objects"},
       {"GET", "service-objects", Scope::kRead, false, false}},
      {{"call-count"}, {"GET", "call-count", Scope::kRead, false, false}},
      {{"whoami"}, {"GET", "whoami", Scope::kRead, false, false}},
      {{"update-options"},
       {"GET", "update-options", Scope::kRead, false, false}},
      {{"metrics"}, {"GET", "metrics", Scope::kRead, false, false}},
      {{"healthz"}, {"GET", "healthz", Scope::kRead, true, false}},
      {{"readyz"}, {"GET", "readyz", Scope::kRead, true, false}},
      {{}, {"GET", "console", Scope::kRead, true, false}},
      {{"index.html"}, {"GET", "console", Scope::kRead, true, false}},
      {{"console.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"api.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"labels.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"options.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"dom.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"views.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"signin.js"}, {"GET", "console", Scope::kRead, true, false}},
      {{"console.css"}, {"GET", "console", Scope::kRead, true, false}},
      {{"openapi.json"}, {"GET", "console", Scope::kRead, true, false}},
      {{"favicon.svg"}, {"GET", "console", Scope::kRead, true, false}},
  };
  return *patterns;
}

bool Matches(const Pattern& pattern, const Request& request, std::string& arg) {
  if (pattern.segments.size() != request.segments.size()) return false;
  for (size_t i = 0; i < pattern.segments.size(); ++i) {
    if (pattern.segments[i] == "*") {
      if (request.segments[i].empty()) return false;
      arg = request.segments[i];
    } else if (pattern.segments[i] != request.segments[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

RouteMatch MatchRoute(const Request& request) {
  RouteMatch match;
  for (const Pattern& pattern : Patterns()) {
    std::string arg;
    if (!Matches(pattern, request, arg)) continue;
    // HEAD is GET without the body (the connection layer drops it).
    bool head_of_get =
        request.method == "HEAD" && pattern.route.method == "GET";
    if (pattern.route.method == request.method || head_of_get) {
      match.route = &pattern.route;
      match.arg = std::move(arg);
      return match;
    }
    if (match.allow.find(pattern.route.method) == std::string::npos)
      match.allow +=
          (match.allow.empty() ? "" : ", ") + std::string(pattern.route.method);
  }
  return match;
}

}  // namespace quillet::cli::http
