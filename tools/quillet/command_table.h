// The command's table: its global options, commands and their options,
// each bound to a field here (command_table.cc). Run (command_line.cc)
// parses the arguments into them and sends the command given to the file
// that does it.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_options.h"
#include "events_command.h"
#include "http/server.h"
#include "read_commands.h"
#include "webhook_flags.h"

namespace quillet::cli {

struct CommandLine {
  CommandLine();  // the table, every field at its default
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // Parses `argv` and runs the command given; answers the exit status
  // (exit_status.h).
  int Run(int argc, char** argv);

  CLI::App app{
      "quillet: record service calls and serialized items in the ERP "
      "back end (here: the embedded back end)"};
  Globals g;

  // The operations.
  std::string request_key;
  std::vector<CLI::App*> keyed_commands;  // those taking --key
  std::string create_details, update_details;
  std::vector<std::string> create_pairs, update_pairs;
  CLI::App* create_call = nullptr;
  CLI::App* update_call = nullptr;
  std::string time_value;
  CLI::App* time_format = nullptr;
  std::string component, values, error_text;
  CLI::App* create_item = nullptr;
  CLI::App* update_item = nullptr;

  // The reads.
  ReadOptions reads;
  CLI::App* calls_cmd = nullptr;
  CLI::App* items_cmd = nullptr;
  CLI::App* log_cmd = nullptr;
  EventsOptions events;
  CLI::App* events_cmd = nullptr;

  // backend ...
  std::string master_file;
  CLI::App* load = nullptr;
  CLI::App* migrate = nullptr;
  bool backend_json = false;
  CLI::App* backend_status = nullptr;
  std::string keys_after;
  std::optional<int64_t> keys_limit, prune_days;
  CLI::App* backend_keys = nullptr;
  CLI::App* backend_health = nullptr;
  std::string backup_file;
  CLI::App* backup = nullptr;
  CLI::App* restore = nullptr;

  // token add
  std::string token_name, token_scope = "write", token_path, token_engineer;
  CLI::App* token_add = nullptr;

  // batch
  std::string batch_file, batch_out, batch_id;
  bool new_batch = false;
  CLI::App* batch = nullptr;

  // serve
  http::ServeOptions serve_options;
  std::string listen = "127.0.0.1:8080";
  CLI::App* serve = nullptr;
  WebhookFlags webhook_flags;
  CLI::App* webhooks_status = nullptr;
};

}  // namespace quillet::cli
