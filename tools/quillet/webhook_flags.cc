#include "webhook_flags.h"

#include <set>
#include <sstream>

#include "http/webhook_secret.h"
#include "quillet/operations/usage_error.h"
#include "quillet/operations/webhooks.h"

namespace quillet::cli {

using operations::UsageError;

namespace {

const std::set<std::string> kOperations = {"create-call", "update-call",
                                           "create-item", "update-item"};

std::vector<std::string> OperationsOf(const std::string& list) {
  if (list == "all") return {};
  std::vector<std::string> out;
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (!kOperations.count(name))
      throw UsageError(
          "--webhook-events is 'all' or a comma-separated list of "
          "create-call, update-call, create-item, update-item");
    out.push_back(name);
  }
  if (out.empty())
    throw UsageError("--webhook-events names at least one operation");
  return out;
}

}  // namespace

void AddWebhookFlags(CLI::App& serve, WebhookFlags& flags) {
  serve.add_option("--webhook", flags.urls,
                   "post each event, signed, to this URL (repeatable; "
                   "http:// for loopback only)");
  serve.add_option("--webhook-secret-file", flags.secret_files,
                   "the signing secret of the --webhook in the same place "
                   "(a file only its owner may read)");
  serve.add_option("--webhook-events", flags.events,
                   "the operations the --webhook in the same place is sent "
                   "(create-call,update-call,create-item,update-item or "
                   "all); once per --webhook or not at all");
  // Tests retry in milliseconds rather than seconds.
  serve
      .add_option("--webhook-retry-base-ms", flags.retry_base_ms,
                  "the first retry's backoff ceiling in milliseconds, "
                  "doubling per attempt (default 1000)")
      ->check(CLI::Range(int64_t{1}, int64_t{600000}));
}

std::vector<http::WebhookTarget> WebhookTargets(const WebhookFlags& flags) {
  if (flags.secret_files.size() != flags.urls.size())
    throw UsageError(
        "each --webhook takes its own --webhook-secret-file, in the same "
        "order");
  if (!flags.events.empty() && flags.events.size() != flags.urls.size())
    throw UsageError(
        "--webhook-events is given once per --webhook, in the same order, or "
        "not at all");
  std::vector<http::WebhookTarget> targets;
  std::set<std::string> seen;
  for (size_t i = 0; i < flags.urls.size(); ++i) {
    operations::WebhookUrl url = operations::ParseWebhookUrl(flags.urls[i]);
    if (!seen.insert(flags.urls[i]).second)
      throw UsageError("--webhook " + url.Shown() + " is given twice");
    http::WebhookTarget target;
    target.url = flags.urls[i];
    target.secret = http::LoadWebhookSecret(
        flags.secret_files[i], "the secret file of --webhook " + url.Shown());
    if (!flags.events.empty())
      target.operations = OperationsOf(flags.events[i]);
    targets.push_back(std::move(target));
  }
  return targets;
}

CLI::App* AddWebhookCommands(CLI::App& webhooks, WebhookFlags& flags) {
  webhooks.require_subcommand(1);
  CLI::App* status = webhooks.add_subcommand(
      "status",
      "each endpoint's position in the event log, lag and last failure");
  status->add_flag("--json", flags.status_json, "a JSON array");
  return status;
}

}  // namespace quillet::cli
