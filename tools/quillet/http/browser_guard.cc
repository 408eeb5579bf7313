#include "http/browser_guard.h"

#include <algorithm>
#include <cctype>

namespace quillet::cli::http {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Whether `port` is one to five digits.
bool IsPort(std::string_view port) {
  return !port.empty() && port.size() <= 5 &&
         std::all_of(port.begin(), port.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c));
         });
}

// The name of "name", "name:port", "[v6]" or "[v6]:port"; empty when
// malformed (a port that is not digits, or a ':' with none after it).
std::string HostName(std::string_view host) {
  std::string_view rest;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return "";
    rest = host.substr(close + 1);
    host = host.substr(0, close + 1);
  } else if (size_t colon = host.find(':'); colon != std::string_view::npos) {
    rest = host.substr(colon);
    host = host.substr(0, colon);
  }
  if (!rest.empty() && (rest[0] != ':' || !IsPort(rest.substr(1)))) return "";
  return Lower(host);
}

Response Refusal(int status, const char* message) {
  return {status, "application/json",
          std::string(R"({"message":")") + message + "\"}"};
}

}  // namespace

BrowserGuard::BrowserGuard(const std::string& listen_host,
                           std::vector<std::string> hosts,
                           std::vector<std::string> origins)
    : origins_(std::move(origins)) {
  hosts_ = {"localhost", "127.0.0.1", "[::1]"};
  std::string listen = listen_host;
  if (listen.find(':') != std::string::npos && listen[0] != '[')
    listen = "[" + listen + "]";  // a bare IPv6 address
  listen = HostName(listen);
  if (!listen.empty() && listen != "0.0.0.0" && listen != "[::]")
    hosts_.push_back(listen);
  for (const std::string& host : hosts) hosts_.push_back(HostName(host));
}

bool BrowserGuard::HostWellFormed(std::string_view host) {
  return !HostName(host).empty();
}

bool BrowserGuard::HostAllowed(std::string_view host) const {
  std::string name = HostName(host);
  return !name.empty() &&
         std::find(hosts_.begin(), hosts_.end(), name) != hosts_.end();
}

bool BrowserGuard::OriginAllowed(const std::string* origin) const {
  return origin && std::any_of(origins_.begin(), origins_.end(),
                               [&](const std::string& allowed) {
                                 return EqualsIgnoringCase(allowed, *origin);
                               });
}

std::optional<Response> BrowserGuard::CheckWrite(const Request& request) const {
  const std::string* type = request.Header("Content-Type");
  std::string media =
      type ? Lower(type->substr(0, type->find(';'))) : std::string();
  while (!media.empty() && media.back() == ' ') media.pop_back();
  if (media != "application/json")
    return Refusal(415, "a write takes Content-Type: application/json");
  const std::string* origin = request.Header("Origin");
  if (OriginAllowed(origin)) return std::nullopt;
  const std::string* host = request.Header("Host");
  // Scheme and host are compared in any case (the port has none).
  if (origin && (!host || (!EqualsIgnoringCase(*origin, "http://" + *host) &&
                           !EqualsIgnoringCase(*origin, "https://" + *host))))
    return Refusal(403, "a write from another site is refused");
  const std::string* site = request.Header("Sec-Fetch-Site");
  if (site && *site != "same-origin" && *site != "none")
    return Refusal(403, "a write from another site is refused");
  return std::nullopt;
}

void BrowserGuard::AddCors(const Request& request, Response& response) const {
  const std::string* origin = request.Header("Origin");
  if (!OriginAllowed(origin)) return;
  response.Set("Access-Control-Allow-Origin", *origin);
  response.Set("Access-Control-Expose-Headers",
               "ETag, Idempotent-Replayed, Quillet-Dry-Run, "
               "Quillet-Next-After, Retry-After");
  response.Set("Vary", "Origin");
}

std::optional<Response> BrowserGuard::Preflight(const Request& request) const {
  if (!OriginAllowed(request.Header("Origin"))) return std::nullopt;
  Response response{204, "", ""};
  response.Set("Access-Control-Allow-Methods", "GET, POST, PUT");
  response.Set("Access-Control-Allow-Headers",
               "Authorization, Content-Type, Idempotency-Key, If-Match, "
               "Quillet-Dry-Run, Quillet-Trace");
  response.Set("Access-Control-Max-Age", "600");
  return response;
}

}  // namespace quillet::cli::http
