// The service's routes: which method on which path is which operation, the
// token scope it needs, and whether it is a write (JSON only, from the same
// site, audited). A path the service knows answered with another method is
// 405 with Allow; a path it does not know is 404.
//
//   GET  /calls  /calls/{n}  /items  /items/{s}  /time-format  /log  (read)
//   POST /calls  /calls/{n}/changes  /items;  PUT /items/{s}          (write)
//   GET  /audit  /calls/{n}/audit  /items/{s}/audit                  (admin)
//   GET  /metrics  /events                                            (read)
//   GET  /healthz  /readyz  /  /index.html  /console.js  /console.css
//        /openapi.json                                     (no token needed)
#pragma once

#include <string>
#include <string_view>

#include "http/message.h"
#include "http/route_id.h"
#include "http/tokens.h"

namespace quillet::cli::http {

struct Route {
  std::string_view method;
  RouteId id;           // what the service dispatches on
  std::string_view op;  // its name in the access log and the metrics
  Scope scope;
  bool open;   // answered without a token
  bool write;  // carries out an operation
};

struct RouteMatch {
  const Route* route = nullptr;  // nullptr: see `allow`
  std::string allow;  // the path's methods ("GET, POST"); empty: no such path
  std::string arg;    // the call number or serial number in the path
};

RouteMatch MatchRoute(const Request& request);

}  // namespace quillet::cli::http
