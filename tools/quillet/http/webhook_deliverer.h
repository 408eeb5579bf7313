// quillet serve --webhook: each endpoint's events, in position order, on a
// thread of its own, never on the path of a write. From the progress kept
// in the database (operations/webhooks.h) it reads the settled events
// after the last one delivered, posts each (signed, http/webhook_secret.h;
// its position in Quillet-Event-Id), and on any answer but a 2xx, or none
// within 10 s, tries again after an exponential backoff with full jitter
// (the base doubling per attempt, at most 10 minutes), until the event is
// a day old: it is then given up, counted and noted, and the next one
// follows. At least once: an event acknowledged but not yet noted is sent
// again after a restart, with the same id.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/webhook_post.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/webhooks.h"
#include "runtime/mutex.h"

namespace quillet::cli::http {

struct WebhookTarget {
  std::string url;
  std::string secret;  // never printed or logged
  // The operations sent ("create-call", ...); empty: all.
  std::vector<std::string> operations;
};

struct WebhookTiming {
  std::chrono::milliseconds retry_base{1000};
  std::chrono::milliseconds retry_cap{600'000};
  std::chrono::milliseconds post_deadline{10'000};
  std::chrono::milliseconds poll{500};  // for new events
  std::chrono::seconds give_up_after{86400};
};

class WebhookDeliverer {
 public:
  WebhookDeliverer(const operations::BackendSetup& backend,
                   WebhookTarget target, WebhookTiming timing);
  // Stops promptly: a post running is abandoned (and sent again later).
  ~WebhookDeliverer();
  WebhookDeliverer(const WebhookDeliverer&) = delete;
  WebhookDeliverer& operator=(const WebhookDeliverer&) = delete;

 private:
  void Run();
  // Posts `event` until it is acknowledged or given up (progress noted
  // after each attempt); false when stopping or another host took over.
  bool Deliver(operations::WebhookLease& lease,
               operations::WebhookProgress& progress,
               const nlohmann::ordered_json& event);
  bool Wanted(const nlohmann::ordered_json& event) const;
  // Sleeps up to `how_long`; false once stopping.
  bool Pause(std::chrono::milliseconds how_long) EXCLUDES(mutex_);
  bool Stopping() EXCLUDES(mutex_);

  operations::BackendSetup backend_;
  WebhookTarget target_;
  WebhookTiming timing_;
  std::string shown_;  // the URL as logs show it
  WebhookPoster poster_;
  std::mt19937_64 jitter_{std::random_device{}()};
  Mutex mutex_;
  CondVar wake_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace quillet::cli::http
