// Webhook delivery progress as the back end keeps it (backend_store.h).
#include <cstdlib>

#include "quillet/standins/backend_store.h"
#include "storage_engine.h"

namespace quillet::standins {

std::optional<WebhookProgress> BackendStore::WebhookProgressOf(
    const std::string& endpoint) {
  std::optional<WebhookProgress> progress;
  engine_->ReadTransaction(
      [&] { progress = engine_->WebhookProgressOf(endpoint); });
  return progress;
}

void BackendStore::PutWebhookProgress(const WebhookProgress& progress) {
  engine_->WriteTransaction([&] { engine_->PutWebhookProgress(progress); },
                            StorageEngine::Ending::kCommit);
}

std::vector<WebhookProgress> BackendStore::AllWebhookProgress() {
  std::vector<WebhookProgress> all;
  engine_->ReadTransaction([&] { all = engine_->AllWebhookProgress(); });
  return all;
}

bool BackendStore::HoldWebhookEndpoint(const std::string& endpoint) {
  // The lock key: the identity's first 31 bits (it is a hash in hex).
  std::string head = endpoint.substr(0, 8);
  auto key = static_cast<int32_t>(std::strtoul(head.c_str(), nullptr, 16) &
                                  0x7FFFFFFF);
  return engine_->HoldWebhookEndpoint(key);
}

}  // namespace quillet::standins
