#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <iostream>
#include <optional>
#include <string_view>
#include <tuple>

#include "backup_commands.h"
#include "batch_runner.h"
#include "command_options.h"
#include "command_suggestions.h"
#include "events_command.h"
#include "exit_status.h"
#include "help_texts.h"
#include "http/server.h"
#include "http/tokens.h"
#include "input.h"
#include "listen_address.h"
#include "output_paths.h"
#include "quillet/error.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/events.h"
#include "quillet/operations/json_variant.h"
#include "quillet/text.h"
#include "read_commands.h"
#include "run_one.h"

namespace quillet::cli {

using operations::UsageError;

namespace {

using json = nlohmann::ordered_json;

// Every number given is read in decimal, as the service reads its query:
// "010" is ten (leading zeros dropped, where the parser would read octal),
// and "0x10", signs and separators are refused.
CLI::Validator Decimal() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (value.empty() || value.size() > 19 ||
            value.find_first_not_of("0123456789") != std::string::npos)
          return "'" + value + "' is not a whole number in decimal digits";
        value.erase(0,
                    std::min(value.find_first_not_of('0'), value.size() - 1));
        return "";
      },
      "", "");
}

// A range check whose bounds the option's own help states in words.
template <class T>
CLI::Validator Bounded(T low, T high) {
  CLI::Validator range = CLI::Range(low, high);
  range.description("");
  return range;
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{
      "quillet: record service calls and serialized items in the ERP "
      "back end (here: the embedded back end)"};
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", "quillet " QUILLET_VERSION);
  app.footer(kGlobalHelp);
  Globals g;
  // From the environment too, so that a URI need not stand on a command
  // line, where any user's `ps` shows it.
  app.add_option("--db", g.db,
                 "SQLite database file (created by writing commands) or "
                 "PostgreSQL URI (postgresql://...)")
      ->envname("QUILLET_DB");
  app.add_option("--log", g.log,
                 "log file (default: quillet.log beside the database)");
  app.add_flag("--types", g.types,
               "print every value as {\"type\": ..., \"value\": ...}");
  app.add_flag("--transaction", g.transaction,
               "run inside a transaction-host context");
  app.add_option("--keep-keys", g.keep_keys_days,
                 "days that the request keys written are kept (1-3650, "
                 "default 7)")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(int64_t{1}, int64_t{3650}));
  app.add_option("--keep-events", g.keep_events_days,
                 "days that events are kept in the event log (1-36500, "
                 "default 90): serve prunes older ones hourly, 'backend keys "
                 "--prune-older-than' with the keys")
      ->type_name("DAYS")
      ->transform(Decimal())
      ->check(Bounded(int64_t{1}, int64_t{36500}));
  app.add_option("--actor", g.actor,
                 "the name the writes are recorded under in the event log "
                 "(default: the OS user)")
      ->type_name("NAME")
      ->check([](const std::string& name) -> std::string {
        if (name.empty() || name.size() > 200) return "1 to 200 bytes";
        for (char c : name)
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "no control characters";
        return "";
      });
  auto command = [&](const char* name, const char* description,
                     std::string help = "") {
    CLI::App* sub = app.add_subcommand(name, description);
    sub->footer(help + kGlobalHelp);
    return sub;
  };

  auto traced = [&](CLI::App* sub) {
    sub->add_flag("--dry-run", g.dry_run,
                  "run in full against the back end and store nothing: "
                  "the answer is what the request would have had");
    sub->add_option("--trace", g.trace_path,
                    "write what is sent to the back end, one JSON line per "
                    "event, to FILE (- for standard error)");
    sub->add_flag("--whole-texts", g.whole_texts,
                  "trace whole texts (else: length and first characters)");
  };
  std::string request_key;
  std::vector<CLI::App*> keyed_commands;
  auto keyed = [&](CLI::App* sub) {
    keyed_commands.push_back(sub);
    sub->add_option("--key", request_key,
                    "request key: a retry under the same key is never "
                    "recorded twice");
    traced(sub);
  };
  std::string create_details, update_details;
  std::vector<std::string> create_pairs, update_pairs;
  auto* create_call =
      command("create-call", "record a new service call", kCreateCallHelp);
  auto* update_call =
      command("update-call", "change a service call", UpdateCallHelp());
  for (auto [sub, details, pairs] :
       {std::tuple{create_call, &create_details, &create_pairs},
        std::tuple{update_call, &update_details, &update_pairs}}) {
    sub->add_option("--details", *details,
                    "JSON object, @file.json or - for stdin");
    sub->add_option("pairs", *pairs, "KEY=VALUE call details (strings)");
    keyed(sub);
  }
  update_call->add_option(
      "--if-unchanged-since", g.if_unchanged_since,
      "change the call only if it is still as read: its ETag (GET "
      "/calls/{n}), or * for any; else nothing is stored (exit 3)");

  std::string time_value;
  auto* time_format =
      command("time-format", "minutes to the back end's hours and minutes");
  time_format
      ->add_option("value", time_value,
                   "the value as JSON: 90, \"125\", 89.5, null")
      ->required();

  std::string component, values, error_text;
  auto* create_item = command("create-item", "register a serialized item");
  auto* update_item = command("update-item", "change a serialized item");
  for (CLI::App* item : {create_item, update_item}) {
    item->add_option("--component", component, "the business component")
        ->required();
    item->add_option("--values", values,
                     "JSON array of rows, @file.json, or a CSV file")
        ->required();
    item->add_option("--error", error_text, "the error text on entry");
    keyed(item);
  }

  ReadOptions reads;
  auto* calls_cmd = command("calls", "the stored service calls");
  calls_cmd->add_option("number", reads.number, "one call");
  calls_cmd->add_flag("--json", reads.json, "JSON for scripts");
  calls_cmd->add_option("--limit", reads.limit, "at most N calls")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(int64_t{0}, int64_t{1} << 40));
  calls_cmd->add_option("--after", reads.after,
                        "only calls created after this call number");
  calls_cmd
      ->add_option("--status", reads.status,
                   "only calls with this status (0-255; 0: new)")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(0, 255));
  calls_cmd->add_option("--sold-to", reads.sold_to,
                        "only calls of this sold-to business partner");
  calls_cmd->add_option("--text", reads.text,
                        "only calls whose description contains this text");
  calls_cmd->add_option("--changed-since", reads.changed_since,
                        "only calls changed since a date or UTC time");
  auto* items_cmd = command("items", "the stored serialized items");
  items_cmd->add_option("id", reads.serial, "one item (serial number)");
  items_cmd->add_flag("--json", reads.json, "JSON for scripts");
  items_cmd->add_option("--limit", reads.limit, "at most N items")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(int64_t{0}, int64_t{1} << 40));
  items_cmd->add_option("--after", reads.after,
                        "only items whose serial number sorts after this");
  auto* log_cmd = command("log", "the log entries, oldest first");
  log_cmd
      ->add_option("--tail", reads.tail, "only the last N entries (0-1000000)")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(size_t{0}, size_t{1000000}));
  log_cmd->add_flag("--json", reads.json,
                    "the log file's JSON lines as they are");

  EventsOptions events;
  auto* events_cmd = command("events", "the event log: every write, in order");
  AddEventsOptions(*events_cmd, events);

  std::string master_file;
  auto* backend = command("backend", "the embedded back end");
  backend->require_subcommand(1);
  auto* load =
      backend->add_subcommand("load", "load master data from a JSON file");
  load->add_option("file", master_file, "master data JSON")->required();
  auto* migrate = backend->add_subcommand(
      "migrate", "bring a database of an earlier Quillet up to date");
  bool backend_json = false;
  auto* backend_status = backend->add_subcommand(
      "status",
      "what is stored, the oldest request key, and whether a write would be "
      "taken (writes nothing)");
  backend_status->add_flag("--json", backend_json, "one JSON object");
  std::string keys_after;
  std::optional<int64_t> keys_limit, prune_days;
  auto* backend_keys = backend->add_subcommand(
      "keys", "list request keys in key order, or prune them by age");
  backend_keys->add_flag("--json", backend_json, "a JSON array");
  backend_keys->add_option("--after", keys_after, "only keys after this one");
  backend_keys->add_option("--limit", keys_limit, "at most N keys")
      ->transform(Decimal())
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  backend_keys
      ->add_option("--prune-older-than", prune_days,
                   "remove the keys made more than DAYS days ago (0-36500)")
      ->transform(Decimal())
      ->check(CLI::Range(int64_t{0}, int64_t{36500}));
  auto* backend_health = backend->add_subcommand(
      "health",
      "the service's readiness check: exit 0 when a write would be taken, "
      "1 with a warning when writes would wait for an absent standby");
  std::string backup_file;
  auto* backup = backend->add_subcommand(
      "backup", "copy a SQLite database while it is in use, checked");
  auto* restore = backend->add_subcommand(
      "restore", "put a backup in place of a SQLite database nothing has open");
  for (CLI::App* sub : {backup, restore})
    sub->add_option("file", backup_file, "the backup file")->required();

  std::string token_name, token_scope = "write", token_path;
  auto* token = command("token", "the service's named tokens");
  token->require_subcommand(1);
  auto* token_add = token->add_subcommand(
      "add", "add a token and print it, once: the file keeps only its hash");
  token_add->add_option("name", token_name, "the token's name")->required();
  token_add
      ->add_option("--scope", token_scope,
                   "read, write or admin (default write)")
      ->check(CLI::IsMember({"read", "write", "admin"}));
  token_add->add_option("--token-file", token_path, "the token file")
      ->required();

  std::string batch_file, batch_out, batch_id;
  auto* batch = command("batch", "one operation per JSON line", kBatchHelp);
  batch->add_option("file", batch_file, "the JSONL file")->required();
  batch->add_option("--out", batch_out,
                    "write the outcomes to this file instead of standard "
                    "output (replaced when the batch ends)");
  batch->add_option("--batch-id", batch_id,
                    "continue the run of this identity (default: the "
                    "identity that the file's lines make)");
  bool new_batch = false;
  batch->add_flag("--new-batch", new_batch,
                  "run a file whose earlier run did not finish as a new "
                  "batch: every line runs again");
  traced(batch);

  http::ServeOptions serve_options;
  std::string listen = "127.0.0.1:8080";
  auto* serve = command("serve", "the operations over HTTP",
                        "Routes, statuses and examples: docs/http-api.md; "
                        "options, tokens and the audit trail: "
                        "docs/operator-guide.md.\n\n");
  serve->add_option("--listen", listen,
                    "HOST:PORT to listen on (default 127.0.0.1:8080; port 0: "
                    "any free port)");
  serve
      ->add_option("--workers", serve_options.workers,
                   "requests answered at once (default: the number of cores)")
      ->transform(Decimal())
      ->check(CLI::Range(1, 1024));
  serve
      ->add_option("--body-limit", serve_options.body_limit,
                   "largest request body in bytes (default 1048576)")
      ->transform(Decimal())
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30));
  serve->add_option("--token-file", serve_options.token_file,
                    "the token file (named tokens with scopes, or one bare "
                    "token); re-read on SIGHUP");
  serve
      ->add_option("--timeout", serve_options.timeout_seconds,
                   "seconds to read a whole request, and to write an answer "
                   "(default 10)")
      ->transform(Decimal())
      ->check(CLI::Range(1, 3600));
  serve
      ->add_option("--idle-timeout", serve_options.idle_seconds,
                   "seconds a kept-alive connection may wait for its next "
                   "request (default 5)")
      ->transform(Decimal())
      ->check(CLI::Range(1, 3600));
  serve
      ->add_option("--max-connections", serve_options.max_connections,
                   "connections at once (default 4096); 503 beyond")
      ->transform(Decimal())
      ->check(CLI::Range(1, 1 << 20));
  serve
      ->add_option("--max-connections-per-client",
                   serve_options.max_connections_per_client,
                   "connections at once from one address (default 256); 503 "
                   "beyond")
      ->transform(Decimal())
      ->check(CLI::Range(1, 1 << 20));
  serve->add_option("--allow-host", serve_options.allow_hosts,
                    "a Host name the service answers to, beside localhost, "
                    "127.0.0.1, [::1] and the listen address (repeatable)");
  serve->add_option("--allow-origin", serve_options.allow_origins,
                    "an origin (https://app.example) granted CORS "
                    "(repeatable); none by default");
  serve->add_flag("--allow-no-token", serve_options.allow_no_token,
                  "listen on an address other machines reach without a "
                  "token file");
  serve->add_option("--audit", serve_options.audit_path,
                    "also append every write asked for to FILE as JSON lines "
                    "(the audit trail itself is the event log)");
  serve->add_option("--trace", serve_options.trace_path,
                    "append what every request sends to the back end to FILE, "
                    "one JSON line per event");

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
      CheckOutputPaths({{"--trace", serve_options.trace_path},
                        {"--audit", serve_options.audit_path}},
                       kept);
      return http::Serve(serve_options);
    }
    if (*token_add)
      return print(http::AddToken(token_path, token_name,
                                  *http::ParseScope(token_scope)) +
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
