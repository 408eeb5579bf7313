// quillet: the Calls component from the command line, on the embedded back
// end. Each command prints one JSON object (or a table for people); exit
// status 0 when the operation returned normally, 1 when it raised, 2 for a
// usage error or input that cannot be read.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "input.h"
#include "operations.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "views.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

struct Globals {
  std::string db = "quillet.db";
  std::string log;
  bool types = false;
  bool transaction = false;

  std::string LogPath() const {
    if (!log.empty()) return log;
    return (std::filesystem::path(db).parent_path() / "quillet.log").string();
  }
};

// Sets up the back end, the log and Quillet itself; only after the input
// was found usable.
Ref<CallsInterface> OpenCalls(const Globals& g) {
  standins::BackendStore store(g.db);  // creates the file and its schema
  standins::RegisterEmbeddedBackend(g.db);
  standins::RegisterFileLog(g.LogPath());
  RegisterQuillet();
  return CreateAs<CallsInterface>(kCallsClassName);
}

int RunOne(const Globals& g, const json& request) {
  PreparedOperation op = Prepare(request);
  Ref<CallsInterface> calls = OpenCalls(g);
  Outcome outcome = Run(*calls, op, g.types, g.transaction);
  std::cout << outcome.output.dump(2) << "\n";
  if (outcome.raised) std::cerr << "quillet: " << outcome.message << "\n";
  return outcome.raised ? 1 : 0;
}

int RunBatch(const Globals& g, const std::string& path,
             const std::string& out_path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read '" + path + "'");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::ofstream file;
  if (!out_path.empty()) {
    file.open(out_path, std::ios::app);
    if (!file) throw UsageError("cannot write '" + out_path + "'");
  }
  std::ostream& out = out_path.empty() ? std::cout : file;
  Ref<CallsInterface> calls = OpenCalls(g);
  bool progress = isatty(STDERR_FILENO);
  int returned = 0, raised = 0, bad = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t number = i + 1;
    if (lines[i].find_first_not_of(" \t\r") == std::string::npos) continue;
    json record = {{"line", number}};
    try {
      PreparedOperation op =
          Prepare(ParseJson(lines[i], "line " + std::to_string(number)));
      Outcome outcome = Run(*calls, op, g.types, g.transaction);
      record["op"] = op.op;
      record.update(outcome.output);
      outcome.raised ? ++raised : ++returned;
    } catch (const UsageError& e) {
      ++bad;
      record["usage"] = e.what();
      std::cerr << (progress ? "\r" : "") << "quillet: line " << number << ": "
                << e.what() << "\n";
    }
    out << record.dump() << "\n" << std::flush;
    if (progress) {
      size_t done = (number * 30) / lines.size();
      std::cerr << "\r[" << std::string(done, '#')
                << std::string(30 - done, ' ') << "] " << number << "/"
                << lines.size() << std::flush;
    }
  }
  if (progress) std::cerr << "\n";
  std::cerr << "batch: " << (returned + raised + bad) << " operations, "
            << returned << " returned, " << raised << " raised, " << bad
            << " bad lines\n";
  return bad ? 2 : raised ? 1 : 0;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "quillet: record service calls and serialized items in the ERP "
      "back end (here: the embedded back end)"};
  app.require_subcommand(1);
  app.fallthrough();
  Globals g;
  app.add_option("--db", g.db, "database file (created when absent)");
  app.add_option("--log", g.log,
                 "log file (default: quillet.log beside the database)");
  app.add_flag("--types", g.types,
               "print every value as {\"type\": ..., \"value\": ...}");
  app.add_flag("--transaction", g.transaction,
               "run inside a transaction-host context");

  std::string create_details, update_details;
  std::vector<std::string> create_pairs, update_pairs;
  auto* create_call =
      app.add_subcommand("create-call", "record a new service call");
  create_call->add_option("--details", create_details,
                          "JSON object, @file.json or - for stdin");
  create_call->add_option("pairs", create_pairs,
                          "KEY=VALUE call details (strings)");
  auto* update_call =
      app.add_subcommand("update-call", "change a service call");
  update_call->add_option("--details", update_details,
                          "JSON object, @file.json or - for stdin");
  update_call->add_option("pairs", update_pairs,
                          "KEY=VALUE call details (strings)");

  std::string time_value;
  auto* time_format = app.add_subcommand(
      "time-format", "minutes to the back end's hours and minutes");
  time_format
      ->add_option("value", time_value,
                   "the value as JSON: 90, \"125\", 89.5, null")
      ->required();

  std::string component, values, error_text;
  auto* create_item =
      app.add_subcommand("create-item", "register a serialized item");
  auto* update_item =
      app.add_subcommand("update-item", "change a serialized item");
  for (CLI::App* item : {create_item, update_item}) {
    item->add_option("--component", component, "the business component");
    item->add_option("--values", values,
                     "JSON array of rows, @file.json, or a CSV file");
    item->add_option("--error", error_text, "the error text on entry");
  }

  std::string number;
  bool as_json = false;
  auto* calls_cmd = app.add_subcommand("calls", "the stored service calls");
  calls_cmd->add_option("number", number, "one call");
  calls_cmd->add_flag("--json", as_json, "JSON for scripts");
  std::string serial;
  auto* items_cmd = app.add_subcommand("items", "the stored serialized items");
  items_cmd->add_option("id", serial, "one item (serial number)");
  items_cmd->add_flag("--json", as_json, "JSON for scripts");
  std::optional<size_t> tail;
  auto* log_cmd = app.add_subcommand("log", "the log entries, oldest first");
  log_cmd->add_option("--tail", tail, "only the last N entries");
  log_cmd->add_flag("--json", as_json, "the log file's JSON lines as they are");

  std::string master_file;
  auto* backend = app.add_subcommand("backend", "the embedded back end");
  backend->require_subcommand(1);
  auto* load =
      backend->add_subcommand("load", "load master data from a JSON file");
  load->add_option("file", master_file, "master data JSON")->required();

  std::string batch_file, batch_out;
  auto* batch = app.add_subcommand("batch", "one operation per JSON line");
  batch->add_option("file", batch_file, "the JSONL file")->required();
  batch->add_option("--out", batch_out,
                    "append outcomes here instead of standard output");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "quillet: " << e.what() << "\n";
    return 2;
  }

  try {
    if (*create_call)
      return RunOne(g, {{"op", "create-call"},
                        {"details",
                         DetailsJson(create_details, create_pairs, std::cin)}});
    if (*update_call)
      return RunOne(g, {{"op", "update-call"},
                        {"details",
                         DetailsJson(update_details, update_pairs, std::cin)}});
    if (*time_format)
      return RunOne(g, {{"op", "time-format"},
                        {"value", ParseJson(time_value, "the value")}});
    if (*create_item || *update_item) {
      json request = {{"op", *create_item ? "create-item" : "update-item"},
                      {"component", component},
                      {"values", ValuesJson(values)}};
      CLI::App* item = *create_item ? create_item : update_item;
      if (item->count("--error")) request["error"] = error_text;
      return RunOne(g, request);
    }
    if (*batch) return RunBatch(g, batch_file, batch_out);
    if (*load) {
      std::string text = ReadFile(master_file);
      int rows = standins::BackendStore(g.db).LoadMasterData(text);
      std::cout << "loaded " << rows << " master data rows into " << g.db
                << "\n";
      return 0;
    }
    if (*log_cmd) {
      if (!PrintLog(std::cout, g.LogPath(), tail, as_json)) {
        if (std::filesystem::exists(g.LogPath()))
          throw UsageError("cannot read '" + g.LogPath() + "'");
      }
      return 0;
    }
    standins::BackendStore store(g.db);
    if (*calls_cmd) {
      if (!number.empty()) {
        std::optional<standins::StoredCall> call = store.Call(number);
        if (!call) throw UsageError("no service call '" + number + "'");
        if (as_json)
          std::cout << CallJson(*call).dump(2) << "\n";
        else
          PrintCallDetail(std::cout, *call);
      } else if (as_json) {
        json all = json::array();
        for (const auto& c : store.Calls()) all.push_back(CallJson(c));
        std::cout << all.dump(2) << "\n";
      } else {
        PrintCallsTable(std::cout, store.Calls());
      }
      return 0;
    }
    if (*items_cmd) {
      if (!serial.empty()) {
        std::optional<standins::StoredItem> item = store.Item(serial);
        if (!item) throw UsageError("no serialized item '" + serial + "'");
        if (as_json)
          std::cout << ItemJson(*item).dump(2) << "\n";
        else
          PrintItemsTable(std::cout, {*item});
      } else if (as_json) {
        json all = json::array();
        for (const auto& i : store.Items()) all.push_back(ItemJson(i));
        std::cout << all.dump(2) << "\n";
      } else {
        PrintItemsTable(std::cout, store.Items());
      }
      return 0;
    }
  } catch (const UsageError& e) {
    std::cerr << "quillet: " << e.what() << "\n";
    return 2;
  } catch (const Error& e) {
    // The back end itself failed outside an operation (opening, loading).
    std::cerr << "quillet: " << e.what() << "\n";
    return 2;
  }
  return 2;
}

}  // namespace
}  // namespace quillet::cli

int main(int argc, char** argv) { return quillet::cli::Main(argc, argv); }
