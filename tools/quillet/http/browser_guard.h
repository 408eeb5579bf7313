// What keeps the service safe to reach from a browser: the Host a request
// names must be one the service answers to (against DNS rebinding), a write
// must carry JSON and come from no other site (against cross-site forms and
// no-cors fetches, which cannot send JSON without a preflight), and CORS is
// granted only to the origins an operator names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/message.h"

namespace quillet::cli::http {

class BrowserGuard {
 public:
  // `listen_host` is the address listened on; `hosts` and `origins` are the
  // operator's --allow-host names and --allow-origin origins.
  BrowserGuard(const std::string& listen_host, std::vector<std::string> hosts,
               std::vector<std::string> origins);

  // True when the Host header is a name or bracketed IPv6 address with, at
  // most, ":" and one to five digits (a port); anything else is a 400.
  static bool HostWellFormed(std::string_view host);

  // True when the Host header (name, optionally ":port") names the service:
  // localhost, 127.0.0.1, [::1], the listen address, or an allowed host.
  bool HostAllowed(std::string_view host) const;

  // A refusal for a write (415 without application/json, 403 from another
  // site), nullopt when it may go on.
  std::optional<Response> CheckWrite(const Request& request) const;

  // The CORS headers for an allowed Origin (none otherwise), and the answer
  // to a preflight (nullopt when the origin is not allowed).
  void AddCors(const Request& request, Response& response) const;
  std::optional<Response> Preflight(const Request& request) const;

 private:
  bool OriginAllowed(const std::string* origin) const;
  std::vector<std::string> hosts_;    // lower case, without ports
  std::vector<std::string> origins_;  // compared in any case
};

}  // namespace quillet::cli::http
