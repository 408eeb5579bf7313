// Parsing the command's arguments (the table: command_table.cc) and sending
// the command given to the file that does it, in a context of its own.
#include "command_line.h"

#include <cerrno>
#include <iostream>
#include <optional>
#include <string_view>

#include "backup_commands.h"
#include "batch_runner.h"
#include "command_suggestions.h"
#include "command_table.h"
#include "exit_status.h"
#include "help_texts.h"
#include "http/tokens.h"
#include "input.h"
#include "listen_address.h"
#include "output_paths.h"
#include "quillet/error.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/context.h"
#include "quillet/operations/events.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/webhooks.h"
#include "quillet/text.h"
#include "read_commands.h"
#include "run_one.h"

namespace quillet::cli {

using operations::UsageError;

namespace {
using json = nlohmann::ordered_json;
}  // namespace

int Main(int argc, char** argv) {
  CommandLine line;
  return line.Run(argc, argv);
}

int CommandLine::Run(int argc, char** argv) {
  if (std::optional<std::string> unknown = UnknownCommand(argc, argv)) {
    Say(*unknown);
    return kExitUsage;
  }
  // "--name=" would take the next argument as its value ("--trace=
  // Q_TEXT=..." would write the trace to a file of that name and drop the
  // detail): an option given with an empty value is refused.
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--key=") {
      Say(kKeyNeeded);
      return kExitUsage;
    }
    if (arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.back() == '=') {
      Say(std::string(arg) + " has no value: give " +
          std::string(arg.substr(0, arg.size() - 1)) + " VALUE");
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      errno = 0;
      int status = app.exit(e);
      return Flushed(std::cout) ? status : OutputLost("the output", "");
    }
    Say(e.what());
    return kExitUsage;
  }

  auto print = [](const std::string& text) {
    errno = 0;
    std::cout << text;
    return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
  };
  // This run's own: its stores, write groups, counts and request keys
  // bound, which the command and the service pass down in `g`.
  operations::Context context;
  g.context = &context;
  operations::FailureWatch watch;  // hears a failure outside an operation
  try {
    operations::CheckDatabaseAddress(g.db);
    for (CLI::App* sub : keyed_commands)
      if (*sub && sub->count("--key") && request_key.empty())
        throw UsageError(kKeyNeeded);
    if (*create_call)
      return RunOne(
          g,
          {{"op", "create-call"},
           {"details", DetailsJson(create_details, create_pairs, std::cin)}},
          request_key);
    if (*update_call)
      return RunOne(
          g,
          {{"op", "update-call"},
           {"details", DetailsJson(update_details, update_pairs, std::cin)}},
          request_key);
    if (*time_format)
      return RunOne(g,
                    {{"op", "time-format"},
                     {"value", ParseJson(time_value, "the value")}},
                    "");
    if (*create_item || *update_item) {
      json request = {{"op", *create_item ? "create-item" : "update-item"},
                      {"component", component},
                      {"values", ValuesJson(values)}};
      CLI::App* item = *create_item ? create_item : update_item;
      if (item->count("--error")) request["error"] = error_text;
      return RunOne(g, std::move(request), request_key);
    }
    if (*batch) return RunBatch(g, batch_file, batch_out, batch_id, new_batch);
    if (*serve) {
      ListenAddress address = ParseListen(listen);
      serve_options.host = address.host;
      serve_options.port = address.port;
      serve_options.backend = g;
      std::vector<NamedPath> kept = KeptFiles(g);
      kept.push_back({"the token file", serve_options.token_file});
      for (const std::string& secret : webhook_flags.secret_files)
        kept.push_back({"a webhook secret file", secret});
      serve_options.webhooks = WebhookTargets(webhook_flags);
      serve_options.webhook_timing.retry_base =
          std::chrono::milliseconds(webhook_flags.retry_base_ms);
      CheckOutputPaths({{"--trace", serve_options.trace_path},
                        {"--audit", serve_options.audit_path}},
                       kept);
      return http::Serve(serve_options);
    }
    if (*token_add)
      return print(http::AddToken(token_path, token_name,
                                  *http::ParseScope(token_scope),
                                  token_engineer) +
                   "\n");
    if (*load) {
      int rows = operations::LoadMasterData(g, ReadFile(master_file));
      return print("loaded " + std::to_string(rows) +
                   " master data rows into " +
                   operations::DisplayedAddress(g.db) + "\n");
    }
    if (*migrate) {
      int32_t version = operations::MigrateDatabase(g);
      return print("database " + operations::DisplayedAddress(g.db) +
                   " is at schema version " + std::to_string(version) + "\n");
    }
    if (*backup) return RunBackup(g, backup_file, http::DefaultAuditPath(g));
    if (*restore) return RunRestore(g, backup_file);
    if (*backend_status || *backend_keys || *backend_health) {
      errno = 0;
      if (*backend_health) {
        operations::CheckHealth(g);  // raises, saying why, when not ready
        std::string stall = operations::CommitWaitWarning(g);
        if (!stall.empty()) {
          Say("warning: " + stall);
          return kExitRaised;
        }
        return print("ok\n");
      }
      if (*backend_keys && prune_days) {
        int64_t pruned = operations::PruneKeys(g, *prune_days);
        int64_t events = operations::PruneEvents(g, g.keep_events_days);
        return print("pruned " + std::to_string(pruned) + " request key" +
                     (pruned == 1 ? "" : "s") + "\npruned " +
                     std::to_string(events) + " event" +
                     (events == 1 ? "" : "s") + " older than " +
                     std::to_string(g.keep_events_days) + " days\n");
      }
      if (*backend_status)
        operations::PrintStatus(std::cout, g, backend_json);
      else
        operations::PrintKeys(std::cout, g,
                              keys_after.empty()
                                  ? std::nullopt
                                  : std::optional<std::string>(keys_after),
                              keys_limit, backend_json);
      return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
    }
    if (*webhooks_status) {
      errno = 0;
      operations::PrintWebhookStatus(std::cout, g, webhook_flags.status_json);
      return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
    }
    if (*log_cmd) return RunLog(g, app.count("--db") > 0, reads);
    if (*calls_cmd) return RunCalls(g, reads);
    if (*items_cmd) return RunItems(g, reads);
    if (*events_cmd) return RunEvents(g, events);
    return kExitUsage;  // require_subcommand(1): not reached
  } catch (const UsageError& e) {
    Say(e.what());
    return kExitUsage;
  } catch (const Error& e) {
    // The back end refused or failed outside an operation (opening,
    // loading): nothing ran. A server that was away, or busy, past the wait
    // is worth trying again (3); anything else needs a change first (2).
    bool later = watch.RetryLater();
    std::string said = ToUtf8(e.info().description);
    // Each said once, whether or not the back end's words said it.
    for (const char* part : {"nothing was written", "try again"})
      if (later && said.find(part) == std::string::npos)
        said += std::string("; ") + part;
    Say(said);
    return later ? kExitNothingRecorded : kExitUsage;
  }
}

}  // namespace quillet::cli
