// Webhook URLs, identities and delivery progress (webhooks.h).
#include "quillet/operations/webhooks.h"

#include <arpa/inet.h>
#include <xxhash.h>

#include <cctype>
#include <cstdio>

#include "context_parts.h"
#include "quillet/error.h"
#include "quillet/operations/events.h"
#include "quillet/operations/usage_error.h"
#include "quillet/standins/store_pool.h"
#include "reading_store.h"

namespace quillet::operations {
namespace {

using json = nlohmann::ordered_json;
using standins::BackendStore;

bool HostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

// A literal loopback address (or "localhost"), never a name that merely
// starts like one ("127.example.org" resolves wherever its owner likes).
bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "[::1]") return true;
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 &&
         (ntohl(address.s_addr) >> 24) == 127;
}

WebhookProgress FromStored(const standins::WebhookProgress& p) {
  return {p.endpoint, p.url,          p.delivered, p.given_up,
          p.attempts, p.last_failure, p.updated};
}

}  // namespace

std::string WebhookUrl::Shown() const {
  std::string path = target.substr(0, target.find('?'));
  return (https ? "https://" : "http://") + host + ":" + port + path;
}

WebhookUrl ParseWebhookUrl(const std::string& url) {
  const std::string refused = "a webhook URL ";
  WebhookUrl out;
  size_t rest = 0;
  if (url.rfind("https://", 0) == 0) {
    out.https = true;
    rest = 8;
  } else if (url.rfind("http://", 0) == 0) {
    rest = 7;
  } else {
    throw UsageError(refused + "starts with http:// or https://");
  }
  for (char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
      throw UsageError(refused + "holds no spaces or control characters");
  size_t path = url.find_first_of("/?#", rest);
  std::string authority = url.substr(rest, path - rest);
  if (authority.find('@') != std::string::npos)
    throw UsageError(refused + "carries no credentials: the secret file signs");
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos)
      throw UsageError(refused + "has a bad host");
    out.host = authority.substr(0, close + 1);
    for (char c : out.host.substr(1, close - 1))
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
        throw UsageError(refused + "has a bad host");
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':')
        throw UsageError(refused + "has a bad host");
      port = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
    for (char c : out.host)
      if (!HostChar(c)) throw UsageError(refused + "has a bad host");
  }
  if (out.host.empty() || out.host == "[]")
    throw UsageError(refused + "names a host");
  if (port.empty()) {
    out.port = out.https ? "443" : "80";
  } else {
    long number = 0;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c)) || number > 65535)
        throw UsageError(refused + "has a port from 1 to 65535");
      number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535)
      throw UsageError(refused + "has a port from 1 to 65535");
    out.port = std::to_string(number);
  }
  out.target = path == std::string::npos ? "/" : url.substr(path);
  out.target = out.target.substr(0, out.target.find('#'));
  if (out.target.empty() || out.target[0] != '/') out.target = "/" + out.target;
  if (!out.https && !IsLoopbackHost(out.host))
    throw UsageError(refused +
                     "to another machine is https://: http:// is for "
                     "loopback only");
  return out;
}

std::string WebhookIdentity(const std::string& url) {
  XXH128_hash_t hash = XXH3_128bits(url.data(), url.size());
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx",
                static_cast<unsigned long long>(hash.high64),
                static_cast<unsigned long long>(hash.low64));
  return hex;
}

WebhookProgress ReadWebhookProgress(const BackendSetup& backend,
                                    const std::string& url) {
  WebhookProgress progress;
  progress.endpoint = WebhookIdentity(url);
  progress.url = ParseWebhookUrl(url).Shown();
  std::optional<standins::WebhookProgress> stored =
      Reading(backend)->WebhookProgressOf(progress.endpoint);
  if (stored) progress = FromStored(*stored);
  return progress;
}

void SaveWebhookProgress(const BackendSetup& backend,
                         const WebhookProgress& p) {
  standins::BorrowedStore(BackendOf(backend), backend.db)
      ->PutWebhookProgress({p.endpoint, p.url, p.delivered, p.given_up,
                            p.attempts, p.last_failure, p.updated});
}

json WebhookStatus(const BackendSetup& backend) {
  std::vector<standins::WebhookProgress> all =
      Reading(backend)->AllWebhookProgress();
  EventQuery newest;
  newest.newest_first = true;
  newest.limit = 1;
  EventPage page = ReadEvents(backend, newest);
  int64_t latest =
      page.events.empty() ? 0 : page.events[0]["position"].get<int64_t>();
  json out = json::array();
  for (const standins::WebhookProgress& p : all)
    out.push_back({{"url", p.url},
                   {"endpoint", p.endpoint},
                   {"position", p.delivered},
                   {"latest", latest},
                   {"lag", std::max<int64_t>(0, latest - p.delivered)},
                   {"attempts", p.attempts},
                   {"given_up", p.given_up},
                   {"last_failure",
                    p.last_failure.empty() ? json() : json(p.last_failure)},
                   {"updated", IsoTime(p.updated)}});
  return out;
}

void PrintWebhookStatus(std::ostream& out, const BackendSetup& backend,
                        bool as_json) {
  json all = WebhookStatus(backend);
  if (as_json) {
    out << all.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    return;
  }
  if (all.empty()) out << "no webhook endpoint has been served\n";
  for (const json& e : all) {
    out << e["url"].get<std::string>() << "\n  position "
        << e["position"].get<int64_t>() << ", lag " << e["lag"].get<int64_t>()
        << ", attempts " << e["attempts"].get<int64_t>() << ", given up "
        << e["given_up"].get<int64_t>() << ", updated "
        << e["updated"].get<std::string>() << "\n";
    if (!e["last_failure"].is_null())
      out << "  last failure: " << e["last_failure"].get<std::string>() << "\n";
  }
}

struct WebhookLease::Connection {
  std::unique_ptr<BackendStore> store;
};

WebhookLease::WebhookLease(const BackendSetup& backend, std::string endpoint)
    : backend_(backend),
      endpoint_(std::move(endpoint)),
      connection_(std::make_unique<Connection>()) {}

WebhookLease::~WebhookLease() {
  // Opened for reading: the pool closes it, and the lock goes with it.
  if (connection_->store)
    BackendOf(backend_).Stores().GiveBack(backend_.db,
                                          std::move(connection_->store));
}

bool WebhookLease::Held() {
  if (!IsServerAddress(backend_.db)) return true;
  try {
    if (!connection_->store)
      connection_->store = BackendOf(backend_).Stores().Take(
          backend_.db, BackendStore::Open::kForReading);
    if (connection_->store->HoldWebhookEndpoint(endpoint_)) return true;
    return false;
  } catch (const Error&) {
    if (connection_->store)
      BackendOf(backend_).Stores().GiveBack(backend_.db,
                                            std::move(connection_->store));
    return false;
  }
}

}  // namespace quillet::operations
