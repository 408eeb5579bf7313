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
      {{"calls"},
       {"GET", RouteId::kListCalls, "list-calls", Scope::kRead, false, false}},
      {{"calls"},
       {"POST", RouteId::kCreateCall, "create-call", Scope::kWrite, false,
        true}},
      {{"calls", "*"},
       {"GET", RouteId::kGetCall, "get-call", Scope::kRead, false, false}},
      {{"calls", "*", "changes"},
       {"POST", RouteId::kUpdateCall, "update-call", Scope::kWrite, false,
        true}},
      {{"calls", "*", "audit"},
       {"GET", RouteId::kCallAudit, "call-audit", Scope::kAdmin, false, false}},
      {{"items"},
       {"GET", RouteId::kListItems, "list-items", Scope::kRead, false, false}},
      {{"items"},
       {"POST", RouteId::kCreateItem, "create-item", Scope::kWrite, false,
        true}},
      {{"items", "*"},
       {"GET", RouteId::kGetItem, "get-item", Scope::kRead, false, false}},
      {{"items", "*"},
       {"PUT", RouteId::kUpdateItem, "update-item", Scope::kWrite, false,
        true}},
      {{"items", "*", "audit"},
       {"GET", RouteId::kItemAudit, "item-audit", Scope::kAdmin, false, false}},
      {{"time-format"},
       {"GET", RouteId::kTimeFormat, "time-format", Scope::kRead, false,
        false}},
      {{"log"}, {"GET", RouteId::kLog, "log", Scope::kRead, false, false}},
      {{"audit"},
       {"GET", RouteId::kAudit, "audit", Scope::kAdmin, false, false}},
      {{"events"},
       {"GET", RouteId::kEvents, "events", Scope::kRead, false, false}},
      {{"partners"},
       {"GET", RouteId::kPartners, "partners", Scope::kRead, false, false}},
      {{"service-objects"},
       {"GET", RouteId::kServiceObjects, "service-objects", Scope::kRead, false,
        false}},
      {{"call-count"},
       {"GET", RouteId::kCallCount, "call-count", Scope::kRead, false, false}},
      {{"call-stats"},
       {"GET", RouteId::kCallStats, "call-stats", Scope::kRead, false, false}},
      {{"whoami"},
       {"GET", RouteId::kWhoami, "whoami", Scope::kRead, false, false}},
      {{"update-options"},
       {"GET", RouteId::kUpdateOptions, "update-options", Scope::kRead, false,
        false}},
      {{"metrics"},
       {"GET", RouteId::kMetrics, "metrics", Scope::kRead, false, false}},
      {{"healthz"},
       {"GET", RouteId::kHealthz, "healthz", Scope::kRead, true, false}},
      {{"readyz"},
       {"GET", RouteId::kReadyz, "readyz", Scope::kRead, true, false}},
      {{}, {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"index.html"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"console.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"api.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"labels.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"options.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"dom.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"views.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"signin.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"stats.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"keys.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"bulk.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"progress.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"layout.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"history.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"live.js"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"console.css"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"openapi.json"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
      {{"favicon.svg"},
       {"GET", RouteId::kConsole, "console", Scope::kRead, true, false}},
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
