#include "http/webhook_deliverer.h"

#include <algorithm>
#include <ctime>
#include <iostream>

#include "http/webhook_secret.h"
#include "quillet/error.h"
#include "quillet/operations/events.h"
#include "quillet/text.h"

namespace quillet::cli::http {

using json = nlohmann::ordered_json;
using operations::WebhookLease;
using operations::WebhookProgress;

namespace {
constexpr int64_t kPage = 100;
}  // namespace

WebhookDeliverer::WebhookDeliverer(const operations::BackendSetup& backend,
                                   WebhookTarget target, WebhookTiming timing)
    : backend_(backend),
      target_(std::move(target)),
      timing_(timing),
      shown_(operations::ParseWebhookUrl(target_.url).Shown()),
      poster_(operations::ParseWebhookUrl(target_.url)),
      thread_([this] { Run(); }) {}

WebhookDeliverer::~WebhookDeliverer() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.NotifyAll();
  poster_.Stop();
  thread_.join();
}

bool WebhookDeliverer::Stopping() {
  MutexLock lock(mutex_);
  return stopping_;
}

bool WebhookDeliverer::Pause(std::chrono::milliseconds how_long) {
  MutexLock lock(mutex_);
  auto until = std::chrono::steady_clock::now() + how_long;
  while (!stopping_ && wake_.WaitUntil(mutex_, until)) {
  }
  return !stopping_;
}

bool WebhookDeliverer::Wanted(const json& event) const {
  if (target_.operations.empty()) return true;
  std::string operation = event.value("operation", "");
  return std::find(target_.operations.begin(), target_.operations.end(),
                   operation) != target_.operations.end();
}

void WebhookDeliverer::Run() {
  WebhookLease lease(backend_, operations::WebhookIdentity(target_.url));
  bool waiting_said = false;
  while (!Stopping()) {
    try {
      if (!lease.Held()) {
        if (!waiting_said)
          std::cerr << "quillet: webhook " << shown_
                    << ": another host delivers; waiting to take over"
                    << std::endl;
        waiting_said = true;
        Pause(std::max(timing_.poll, std::chrono::milliseconds(5000)));
        continue;
      }
      waiting_said = false;
      // Read afresh each round: another host may have delivered meanwhile.
      WebhookProgress progress =
          operations::ReadWebhookProgress(backend_, target_.url);
      operations::EventQuery query;
      query.after = progress.delivered;
      query.limit = kPage;
      operations::EventPage page = operations::ReadEvents(backend_, query);
      if (page.gone)
        std::cerr << "quillet: webhook " << shown_ << ": events after "
                  << progress.delivered
                  << " were pruned before they were delivered" << std::endl;
      bool moved = false, going = true;
      for (const json& event : page.events) {
        if (!Wanted(event)) {  // passed over, noted with the next write
          progress.delivered = event["position"].get<int64_t>();
          moved = true;
          continue;
        }
        if (!(going = Deliver(lease, progress, event))) break;
        moved = false;
      }
      if (moved) operations::SaveWebhookProgress(backend_, progress);
      if (going && page.events.empty()) Pause(timing_.poll);
    } catch (const Error& e) {  // the database: tried again after a pause
      std::cerr << "quillet: webhook " << shown_ << ": "
                << ToUtf8(e.info().description) << std::endl;
      Pause(std::max(timing_.poll, timing_.retry_base));
    } catch (const std::exception& e) {
      std::cerr << "quillet: webhook " << shown_ << ": " << e.what()
                << std::endl;
      Pause(std::max(timing_.poll, timing_.retry_base));
    }
  }
}

bool WebhookDeliverer::Deliver(WebhookLease& lease, WebhookProgress& progress,
                               const json& event) {
  int64_t position = event["position"].get<int64_t>();
  int64_t at = event.value("at_unix", int64_t{0});
  std::string body = event.dump(-1, ' ', false, json::error_handler_t::replace);
  for (;;) {
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    PostOutcome outcome = poster_.Post(
        body,
        {{"Quillet-Event-Id", std::to_string(position)},
         {"Quillet-Signature", WebhookSignature(target_.secret, now, body)}},
        timing_.post_deadline);
    if (outcome.delivered) {  // noted even when stopping: not sent twice
      progress.delivered = position;
      progress.attempts = 0;
      operations::SaveWebhookProgress(backend_, progress);
      return true;
    }
    if (Stopping()) return false;  // sent again after the restart
    ++progress.attempts;
    progress.last_failure = operations::IsoTime(now) + " event " +
                            std::to_string(position) + ": " + outcome.failure;
    if (progress.attempts == 1)
      std::cerr << "quillet: webhook " << shown_ << ": "
                << progress.last_failure << "; trying again" << std::endl;
    if (now - at >= timing_.give_up_after.count()) {
      std::cerr << "quillet: webhook " << shown_ << ": event " << position
                << " given up after " << progress.attempts
                << " attempts over a day" << std::endl;
      progress.delivered = position;
      progress.attempts = 0;
      ++progress.given_up;
      operations::SaveWebhookProgress(backend_, progress);
      return true;
    }
    operations::SaveWebhookProgress(backend_, progress);
    // Full jitter: anywhere from nothing to base * 2^(attempts - 1).
    int64_t ceiling = timing_.retry_base.count()
                      << std::min<int64_t>(progress.attempts - 1, 30);
    ceiling = std::min<int64_t>(ceiling, timing_.retry_cap.count());
    std::uniform_int_distribution<int64_t> pick(0, ceiling);
    if (!Pause(std::chrono::milliseconds(pick(jitter_)))) return false;
    if (!lease.Held()) return false;
  }
}

}  // namespace quillet::cli::http
