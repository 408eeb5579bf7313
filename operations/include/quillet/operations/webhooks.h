// Webhook endpoints as the operation layer sees them: their URLs checked
// and shown, their identities, and how far each has been sent the event
// log (events.h), kept in the database so that a restarted service or
// another host carries on where delivery stopped. Posting, signing and
// retrying are the service's (tools/quillet/http/webhook_*.h).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "quillet/operations/backend.h"

namespace quillet::operations {

// A webhook URL taken apart. Raises UsageError, never repeating the URL's
// query, for one that is not http:// or https://, carries credentials
// (user@host), names no host or a bad port, or is http:// to a host other
// than loopback (events would cross the network unsigned-for and in clear).
struct WebhookUrl {
  bool https = false;
  std::string host;    // a name, an IPv4 address, or an IPv6 one in []
  std::string port;    // "80" / "443" when not given
  std::string target;  // the path and query, from "/"
  // scheme://host:port/path: no query, which may hold a secret.
  std::string Shown() const;
};
WebhookUrl ParseWebhookUrl(const std::string& url);

// The endpoint's identity: a hash of its whole URL in hex (never of its
// secret), the key of its progress.
std::string WebhookIdentity(const std::string& url);

struct WebhookProgress {
  std::string endpoint;   // WebhookIdentity
  std::string url;        // WebhookUrl::Shown
  int64_t delivered = 0;  // the last position acknowledged or given up
  int64_t given_up = 0;   // events given up after a day of failures
  int64_t attempts = 0;   // failed attempts at the next event
  std::string last_failure;
  int64_t updated = 0;  // Unix seconds, by the database's clock
};

// The endpoint's stored progress, or a new one from position 0 (the
// oldest event kept). Raises the back end's Error when it cannot be read.
WebhookProgress ReadWebhookProgress(const BackendSetup& backend,
                                    const std::string& url);
// Stores `progress` in a transaction of its own (no event is appended).
void SaveWebhookProgress(const BackendSetup& backend,
                         const WebhookProgress& progress);

// Every endpoint's progress, in URL order, with the lag (the latest
// settled event's position minus the endpoint's), as JSON objects
// {"url", "endpoint", "position", "latest", "lag", "attempts",
// "given_up", "last_failure", "updated"} or as one line each.
nlohmann::ordered_json WebhookStatus(const BackendSetup& backend);
void PrintWebhookStatus(std::ostream& out, const BackendSetup& backend,
                        bool json);

// Which host delivers to an endpoint. On a database server only one host
// does at a time: the lease holds a connection of its own that holds the
// endpoint's lock, and the other hosts' leases wait, taking it over when
// that connection goes. On a database file the one service delivers.
class WebhookLease {
 public:
  WebhookLease(const BackendSetup& backend, std::string endpoint);
  ~WebhookLease();
  WebhookLease(const WebhookLease&) = delete;
  WebhookLease& operator=(const WebhookLease&) = delete;
  // Whether this host delivers now: takes the endpoint when it is free.
  // False too when the database cannot be reached (its connection is
  // opened again at the next call).
  bool Held();

 private:
  struct Connection;
  BackendSetup backend_;
  std::string endpoint_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace quillet::operations
