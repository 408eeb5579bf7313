// Posting one delivery to a webhook endpoint over HTTP or HTTPS (the
// server's certificate checked against the system's authorities and the
// host's name), within a deadline, and stopping at once when told.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillet/operations/webhooks.h"
#include "runtime/mutex.h"

namespace boost::asio {
class io_context;
}  // namespace boost::asio

namespace quillet::cli::http {

struct PostOutcome {
  bool delivered = false;  // a 2xx answer
  // Else why, in words that hold neither the secret nor the URL's query:
  // "HTTP 503", "cannot connect: ...", "no answer within 10 s", ...
  std::string failure;
};

class WebhookPoster {
 public:
  explicit WebhookPoster(operations::WebhookUrl url);
  ~WebhookPoster();
  WebhookPoster(const WebhookPoster&) = delete;
  WebhookPoster& operator=(const WebhookPoster&) = delete;

  // Posts `body` (application/json) with `headers`; one connection each.
  PostOutcome Post(
      const std::string& body,
      const std::vector<std::pair<std::string, std::string>>& headers,
      std::chrono::milliseconds deadline) EXCLUDES(mutex_);
  // A Post running, or any later one, ends now, undelivered.
  void Stop() EXCLUDES(mutex_);

 private:
  struct Tls;
  operations::WebhookUrl url_;
  std::unique_ptr<Tls> tls_;  // for https only
  Mutex mutex_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  boost::asio::io_context* running_ GUARDED_BY(mutex_) = nullptr;  // a Post's
};

}  // namespace quillet::cli::http
