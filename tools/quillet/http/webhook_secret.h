// A webhook endpoint's secret and the signature it makes. The secret comes
// from a file that only its owner may read; it is never printed, logged or
// put in a URL. A delivery is signed over "<t>.<body>", t the Unix seconds
// when it was sent, so that a receiver can refuse one replayed later:
//
//   Quillet-Signature: t=1765180800,v1=<hex HMAC-SHA256 of "<t>.<body>">
#pragma once

#include <cstdint>
#include <string>

namespace quillet::cli::http {

// Reads the secret (surrounding white space dropped). Raises UsageError,
// naming the file as `what` and never its contents, for a file that cannot
// be read, that its group or others may read or write, or that holds no
// secret (or one over 4096 bytes).
std::string LoadWebhookSecret(const std::string& path, const std::string& what);

// "t=<unix_seconds>,v1=<hex HMAC-SHA256 of "<unix_seconds>.<body>">".
std::string WebhookSignature(const std::string& secret, int64_t unix_seconds,
                             const std::string& body);

}  // namespace quillet::cli::http
