#include "command_table.h"

#include <algorithm>
#include <tuple>

#include "events_command.h"
#include "help_texts.h"
#include "webhook_flags.h"

namespace quillet::cli {

namespace {

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

CommandLine::CommandLine() {
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", "quillet " QUILLET_VERSION);
  app.footer(kGlobalHelp);
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
  auto keyed = [&](CLI::App* sub) {
    keyed_commands.push_back(sub);
    sub->add_option("--key", request_key,
                    "request key: a retry under the same key is never "
                    "recorded twice");
    traced(sub);
  };
  create_call =
      command("create-call", "record a new service call", kCreateCallHelp);
  update_call =
      command("update-call", "change a service call", UpdateCallHelp());
  for (auto [sub, details, pairs] :
       {std::tuple{create_call, &create_details, &create_pairs},
        std::tuple{update_call, &update_details, &update_pairs}}) {
    sub->add_option("--details", *details,
                    "JSON object, @file.json or - for stdin");
    sub->add_option("pairs", *pairs, "KEY=VALUE call details (strings)");
    keyed(sub);
  }
  update_call
      ->add_option("--if-unchanged-since", g.if_unchanged_since,
                   "change the call only if it is still as read: its ETag (GET "
                   "/calls/{n}), or * for any; else nothing is stored (exit 3)")
      ->check([](const std::string& version) -> std::string {
        // An empty one (an unset shell variable) would drop the check.
        return version.empty() ? "an ETag, a version or * (not empty)" : "";
      });

  time_format =
      command("time-format", "minutes to the back end's hours and minutes");
  time_format
      ->add_option("value", time_value,
                   "the value as JSON: 90, \"125\", 89.5, null")
      ->required();

  create_item = command("create-item", "register a serialized item");
  update_item = command("update-item", "change a serialized item");
  for (CLI::App* item : {create_item, update_item}) {
    item->add_option("--component", component, "the business component")
        ->required();
    item->add_option("--values", values,
                     "JSON array of rows, @file.json, or a CSV file")
        ->required();
    item->add_option("--error", error_text, "the error text on entry");
    keyed(item);
  }

  calls_cmd = command("calls", "the stored service calls");
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
  calls_cmd->add_option("--search", reads.search,
                        "calls whose texts hold these words, newest first");
  calls_cmd->add_option("--changed-since", reads.changed_since,
                        "only calls changed since a date or UTC time");
  items_cmd = command("items", "the stored serialized items");
  items_cmd->add_option("id", reads.serial, "one item (serial number)");
  items_cmd->add_flag("--json", reads.json, "JSON for scripts");
  items_cmd->add_option("--limit", reads.limit, "at most N items")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(int64_t{0}, int64_t{1} << 40));
  items_cmd->add_option("--after", reads.after,
                        "only items whose serial number sorts after this");
  log_cmd = command("log", "the log entries, oldest first");
  log_cmd
      ->add_option("--tail", reads.tail, "only the last N entries (0-1000000)")
      ->type_name("N")
      ->transform(Decimal())
      ->check(Bounded(size_t{0}, size_t{1000000}));
  log_cmd->add_flag("--json", reads.json,
                    "the log file's JSON lines as they are");

  events_cmd = command("events", "the event log: every write, in order");
  AddEventsOptions(*events_cmd, events);

  auto* backend = command("backend", "the embedded back end");
  backend->require_subcommand(1);
  load = backend->add_subcommand("load", "load master data from a JSON file");
  load->add_option("file", master_file, "master data JSON")->required();
  migrate = backend->add_subcommand(
      "migrate", "bring a database of an earlier Quillet up to date");
  backend_status = backend->add_subcommand(
      "status",
      "what is stored, the oldest request key, and whether a write would be "
      "taken (writes nothing)");
  backend_status->add_flag("--json", backend_json, "one JSON object");
  backend_keys = backend->add_subcommand(
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
  backend_health = backend->add_subcommand(
      "health",
      "the service's readiness check: exit 0 when a write would be taken, "
      "1 with a warning when writes would wait for an absent standby");
  backup = backend->add_subcommand(
      "backup", "copy a SQLite database while it is in use, checked");
  restore = backend->add_subcommand(
      "restore", "put a backup in place of a SQLite database nothing has open");
  for (CLI::App* sub : {backup, restore})
    sub->add_option("file", backup_file, "the backup file")->required();

  auto* token = command("token", "the service's named tokens");
  token->require_subcommand(1);
  token_add = token->add_subcommand(
      "add", "add a token and print it, once: the file keeps only its hash");
  token_add->add_option("name", token_name, "the token's name")->required();
  token_add
      ->add_option("--scope", token_scope,
                   "read, write or admin (default write)")
      ->check(CLI::IsMember({"read", "write", "admin"}));
  token_add->add_option("--token-file", token_path, "the token file")
      ->required();
  token_add->add_option("--engineer", token_engineer,
                        "bind the token to this engineer (the view \"mine\")");

  batch = command("batch", "one operation per JSON line", kBatchHelp);
  batch->add_option("file", batch_file, "the JSONL file")->required();
  batch->add_option("--out", batch_out,
                    "write the outcomes to this file instead of standard "
                    "output (replaced when the batch ends)");
  batch->add_option("--batch-id", batch_id,
                    "continue the run of this identity (default: the "
                    "identity that the file's lines make)");
  batch->add_flag("--new-batch", new_batch,
                  "run a file whose earlier run did not finish as a new "
                  "batch: every line runs again");
  traced(batch);

  serve = command("serve", "the operations over HTTP",
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
  AddWebhookFlags(*serve, webhook_flags);
  webhooks_status = AddWebhookCommands(
      *command("webhooks", "delivery of the event log to webhook endpoints"),
      webhook_flags);
}

}  // namespace quillet::cli
