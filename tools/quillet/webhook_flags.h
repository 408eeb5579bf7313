// The command's webhook options: serve's --webhook, --webhook-secret-file
// and --webhook-events, paired by order, and `quillet webhooks status`.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "http/webhook_deliverer.h"

namespace quillet::cli {

struct WebhookFlags {
  std::vector<std::string> urls, secret_files, events;
  int64_t retry_base_ms = 1000;
  bool status_json = false;
};

// Adds the webhook options to `serve`.
void AddWebhookFlags(CLI::App& serve, WebhookFlags& flags);

// The endpoints the flags name, their secrets read. Raises UsageError (never
// naming a secret or a URL's query) for a URL refused (operations::
// ParseWebhookUrl), a --webhook without its own --webhook-secret-file, a
// --webhook-events given for some endpoints only or naming no operation of
// the four, a URL given twice, or a secret file refused (LoadWebhookSecret).
std::vector<http::WebhookTarget> WebhookTargets(const WebhookFlags& flags);

// Adds `webhooks status [--json]` under `webhooks`; answers the subcommand.
CLI::App* AddWebhookCommands(CLI::App& webhooks, WebhookFlags& flags);

}  // namespace quillet::cli
