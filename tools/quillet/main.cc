// quillet: the Calls component from the command line, on the embedded back
// end. Each command prints one JSON object (or a table for people); the exit
// status says what happened (kExit... below and the README).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <tuple>

#include "backend_commands.h"
#include "backend_setup.h"
#include "http/server.h"
#include "input.h"
#include "operations.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "trace_output.h"
#include "views.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

// What an exit status tells a script.
enum ExitStatus : int {
  kExitDone = 0,             // the operation did its work
  kExitRaised = 1,           // it raised (batch: some lines raised or
                             // recorded nothing)
  kExitUsage = 2,            // unusable input or database: nothing ran
  kExitNothingRecorded = 3,  // it returned normally but recorded nothing
  kExitOutputLost = 4,       // it ran, but its output could not be written
  kExitLinesUnread = 5,      // batch: some lines could not be read; the rest
                             // ran
  kExitOutcomeUnknown = 6,   // the connection to the database was lost after
                             // the commit was sent: it may or may not be
                             // recorded
};

struct Globals : BackendSetup {
  bool types = false;
  bool transaction = false;
  bool dry_run = false;
  std::string trace_path;
  bool whole_texts = false;
};

// True when everything written to `out` so far has reached its file.
bool Flushed(std::ostream& out) {
  out.flush();
  if (&out == &std::cout && (std::fflush(stdout) != 0 || std::ferror(stdout)))
    return false;
  return static_cast<bool>(out);
}

int OutputLost(const std::string& what, const std::string& done) {
  std::string reason = errno ? std::strerror(errno) : "write failed";
  std::cerr << "quillet: cannot write " << what << " (" << reason << ")"
            << (done.empty() ? "" : "; the operation ran: " + done) << "\n";
  return kExitOutputLost;
}

int StatusOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::kDone:
      return kExitDone;
    case Verdict::kRaised:
      return kExitRaised;
    case Verdict::kNothingRecorded:
    case Verdict::kKeyConflict:
    case Verdict::kRetryLater:
      return kExitNothingRecorded;
    case Verdict::kOutcomeUnknown:
      return kExitOutcomeUnknown;
  }
  return kExitRaised;
}

RunOptions Options(const Globals& g, std::string request_key,
                   TraceOutput& trace) {
  if (!request_key.empty()) CheckRequestKey(request_key);
  return {.types = g.types,
          .transaction = g.transaction,
          .request_key = std::move(request_key),
          .dry_run = g.dry_run,
          .trace = trace.trace()};
}

int RunOne(const Globals& g, const json& request, const std::string& key) {
  PreparedOperation op = Prepare(request);
  TraceOutput trace(g.trace_path, g.whole_texts);
  RunOptions options = Options(g, key, trace);
  Ref<CallsInterface> calls = OpenCalls(g, op.op != "time-format");
  Outcome outcome = Run(*calls, op, options);
  errno = 0;
  if (!trace.Write()) return OutputLost(trace.name(), outcome.done);
  if (outcome.dry_run)
    std::cerr << "quillet: dry run: the answer is what the request would "
                 "have had; nothing was stored\n";
  std::cout << outcome.output.dump(2) << "\n";
  std::string done = outcome.done;
  if (!done.empty() && !key.empty())
    done += "; retrying with the same --key is safe";
  if (!Flushed(std::cout)) return OutputLost("the output", done);
  if (outcome.replayed)
    std::cerr << "quillet: replayed: a request under this --key was already "
                 "carried out; its answer is repeated and nothing was done "
                 "again\n";
  if (outcome.verdict != Verdict::kDone)
    std::cerr << "quillet: " << outcome.message << "\n";
  return StatusOf(outcome.verdict);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// Outcomes go to standard output as they come, or to `out_path`: a regular
// file (or a new one) is written beside it and renamed into place at the
// end, so a killed batch leaves the last complete file (or none), never a
// torn or doubled one; anything else (a device, a pipe) is written directly.
class BatchOutput {
 public:
  explicit BatchOutput(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    std::error_code ec;
    auto status = std::filesystem::status(path_, ec);
    if (std::filesystem::is_directory(status))
      throw UsageError("--out '" + path_ + "' is a folder");
    bool replace = !std::filesystem::exists(status) ||
                   std::filesystem::is_regular_file(status);
    partial_ = replace ? path_ + ".partial" : path_;
    file_.open(partial_, std::ios::trunc);
    if (!file_) throw UsageError("cannot write '" + partial_ + "'");
  }
  std::ostream& stream() { return path_.empty() ? std::cout : file_; }
  std::string name() const {
    return path_.empty() ? "the outcomes" : "the outcomes to '" + path_ + "'";
  }
  // Closes and renames into place; false when that failed.
  bool Finish() {
    if (path_.empty()) return true;
    file_.close();
    if (!file_) return false;
    if (partial_ == path_) return true;
    std::error_code ec;
    std::filesystem::rename(partial_, path_, ec);
    if (ec) errno = ec.value();
    return !ec;
  }

 private:
  std::string path_, partial_;
  std::ofstream file_;
};

// Every line runs under the key "batch:<identity>:<line>", the identity
// being --batch-id or the file's content digest: running the same batch
// again records nothing twice and answers each line as the first run did.
int RunBatch(const Globals& g, const std::string& path,
             const std::string& out_path, const std::string& batch_id) {
  std::string text = ReadFile(path);
  std::vector<std::string> lines = Lines(text);
  std::string identity = batch_id.empty() ? ContentDigest(text) : batch_id;
  CheckRequestKey("batch:" + identity + ":" + std::to_string(lines.size()));
  BatchOutput output(out_path);
  std::ostream& out = output.stream();
  TraceOutput trace(g.trace_path, g.whole_texts);
  Ref<CallsInterface> calls = OpenCalls(g, true);
  bool progress = isatty(STDERR_FILENO);
  int returned = 0, failed = 0, bad = 0, replayed = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t number = i + 1;
    if (lines[i].find_first_not_of(" \t") == std::string::npos) continue;
    json record = {{"line", number}};
    std::string done;
    try {
      PreparedOperation op =
          Prepare(ParseJson(lines[i], "line " + std::to_string(number)));
      std::string key = "batch:" + identity + ":" + std::to_string(number);
      Outcome outcome = Run(*calls, op, Options(g, key, trace));
      record["op"] = op.op;
      if (outcome.replayed) {
        record["replayed"] = true;
        ++replayed;
      }
      record.update(outcome.output);
      outcome.verdict == Verdict::kDone ? ++returned : ++failed;
      done = outcome.done;
    } catch (const UsageError& e) {
      ++bad;
      record["usage"] = e.what();
      std::cerr << (progress ? "\r" : "") << "quillet: line " << number << ": "
                << e.what() << "\n";
    }
    errno = 0;
    if (!trace.Write())
      return OutputLost(trace.name(), "lines up to " + std::to_string(number) +
                                          " ran; running the batch again is "
                                          "safe");
    out << record.dump() << "\n";
    if (!Flushed(out))
      return OutputLost(output.name(),
                        "lines up to " + std::to_string(number) + " ran" +
                            (done.empty() ? "" : " (" + done + ")") +
                            "; running the batch again is safe");
    if (progress) {
      size_t bar = (number * 30) / lines.size();
      std::cerr << "\r[" << std::string(bar, '#') << std::string(30 - bar, ' ')
                << "] " << number << "/" << lines.size() << std::flush;
    }
  }
  errno = 0;
  if (!output.Finish())
    return OutputLost(output.name(),
                      "every line ran; running the batch again is safe");
  if (progress) std::cerr << "\n";
  std::cerr << "batch: " << (returned + failed + bad) << " operations, "
            << returned << " returned, " << failed
            << " raised or recorded nothing, " << bad << " bad lines, "
            << replayed << " replayed\n";
  if (g.dry_run) std::cerr << "batch: dry run: nothing was stored\n";
  if (bad) return kExitLinesUnread;
  return failed ? kExitRaised : kExitDone;
}

// "2026-12-01", "2026-12-01T08:30:00Z" (UTC) or a transaction time as it
// is stored (seconds since 2000).
int64_t TransactionTimeFrom(const std::string& text) {
  if (!text.empty() &&
      text.find_first_not_of("0123456789") == std::string::npos &&
      text.size() <= 12)
    return std::stoll(text);
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  if (!end || *end) {
    tm = {};
    end = strptime(text.c_str(), "%Y-%m-%d", &tm);
  }
  if (!end || *end)
    throw UsageError("--changed-since '" + text +
                     "' is not a date (2026-12-01), a UTC time "
                     "(2026-12-01T08:30:00Z) or a stored transaction time");
  return standins::TransactionTimeAt(static_cast<int64_t>(timegm(&tm)));
}

const std::vector<std::string>& CommandNames() {
  static const std::vector<std::string> names = {
      "create-call", "update-call", "time-format", "create-item",
      "update-item", "calls",       "items",       "log",
      "backend",     "batch",       "serve"};
  return names;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The command word of the arguments, when it names no command: a message
// with the closest command, if one is close.
std::optional<std::string> UnknownCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--db" || arg == "--log") {
      ++i;
      continue;
    }
    if (arg.rfind("-", 0) == 0) continue;
    const auto& names = CommandNames();
    if (std::find(names.begin(), names.end(), arg) != names.end())
      return std::nullopt;
    std::string message = "unknown command '" + arg + "'";
    std::string best;
    size_t best_distance = 3;
    for (const std::string& name : names) {
      size_t d = EditDistance(arg, name);
      if (d < best_distance) {
        best = name;
        best_distance = d;
      }
    }
    if (!best.empty()) message += "; did you mean '" + best + "'?";
    return message + " (quillet --help lists the commands)";
  }
  return std::nullopt;
}

constexpr const char* kGlobalHelp =
    "Global options, before or after the command:\n"
    "  --db FILE|URI   the database: a SQLite file (default quillet.db;\n"
    "                  created by writing commands, never by reading ones) or\n"
    "                  a PostgreSQL URI, postgresql://user@host/database;\n"
    "                  QUILLET_DB in the environment when not given\n"
    "  --log FILE      the log (default quillet.log beside the database)\n"
    "  --types         print each value as {\"type\": ..., \"value\": ...}\n"
    "  --transaction   run inside a transaction-host context\n"
    "  --keep-keys N   days that request keys are kept (default 7)\n"
    "Exit status: 0 done; 1 raised; 2 unusable input or database (nothing\n"
    "ran); 3 returned but recorded nothing; 4 the output could not be\n"
    "written (the operation ran); 5 batch lines that could not be read (the\n"
    "rest ran); 6 outcome unknown (the connection to the database was lost\n"
    "after the commit was sent: it may or may not be recorded).";

constexpr const char* kCreateCallHelp =
    "Call detail keys read: COMPONENT, Q_TEXT, LINK, SOLDTOBP (required by "
    "the\nback end), SITE, OBJECT, OBJECTNR, CALLDESC, PROBLEM, PRIORITY "
    "(0-255),\nBPNUMBER, CALLGROUP1, CALLGROUP2, CALLERNAME, CONTACT, "
    "ENGINEER,\nCALLCREATER, Q_ID (the question; its engineer time is added), "
    "TIMESPENT\n(minutes).\n\n";

constexpr const char* kUpdateCallHelp =
    "Call detail keys read: COMPONENT, CALLNUMBER, ENGINEER, ACTIONDONEBY, "
    "OPTION,\nand per OPTION:\n"
    "  1  status 15; PROBLEM\n"
    "  2  status 15; PROBLEM, SOLUTION, ACTIVITY, Q_ID + TIMESPENT, "
    "SOLUTIONTEXT\n"
    "  3  status 15; the waiting state ends\n"
    "  4  status 25; PROBLEM, SOLUTION, ACTIVITY, SOLUTIONTEXT, Q_ID + "
    "TIMESPENT\n"
    "  5  status 15; waiting, WAITINGDESC\n"
    "  6  status 30 (completed, service order); PROBLEM, SOLUTION, "
    "ACTIVITY,\n     SOLUTIONTEXT, Q_ID\n"
    "  7  Q_TEXT appended to the call text\n"
    "  8  status 10; Q_ID (and any OPTION that is not 1-9)\n"
    "  9  the option flag\n\n";

constexpr const char* kBatchHelp =
    "One request per line, for example:\n"
    "  {\"op\":\"create-call\",\"details\":{\"SOLDTOBP\":\"BP-1\"}}\n"
    "  {\"op\":\"update-call\",\"details\":{\"CALLNUMBER\":\"SC000001\","
    "\"OPTION\":1}}\n"
    "  {\"op\":\"time-format\",\"value\":90}\n"
    "  {\"op\":\"create-item\",\"component\":\"Items\",\"values\":"
    "[[\"SERIALNUMBER\",\"S-1\"]],\"error\":\"\"}\n"
    "Each outcome is one JSON line with its line number; a line that cannot "
    "be\nread is reported and the batch goes on; a summary closes it. Every "
    "line runs\nunder a request key made of the batch's identity and its "
    "line number, so\nrunning a batch again (after a kill, or after it "
    "finished) records nothing\ntwice; such lines are marked "
    "\"replayed\": true.\n\n";

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
                 "days that request keys are kept (default 7)")
      ->check(CLI::Range(int64_t{1}, int64_t{3650}));
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
  auto keyed = [&](CLI::App* sub) {
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
      command("update-call", "change a service call", kUpdateCallHelp);
  for (auto [sub, details, pairs] :
       {std::tuple{create_call, &create_details, &create_pairs},
        std::tuple{update_call, &update_details, &update_pairs}}) {
    sub->add_option("--details", *details,
                    "JSON object, @file.json or - for stdin");
    sub->add_option("pairs", *pairs, "KEY=VALUE call details (strings)");
    keyed(sub);
  }

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

  std::string number, after, sold_to, changed_since;
  std::optional<int64_t> limit, status;
  bool as_json = false;
  auto* calls_cmd = command("calls", "the stored service calls");
  calls_cmd->add_option("number", number, "one call");
  calls_cmd->add_flag("--json", as_json, "JSON for scripts");
  calls_cmd->add_option("--limit", limit, "at most N calls")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  calls_cmd->add_option("--after", after,
                        "only calls created after this call number");
  calls_cmd->add_option("--status", status, "only calls with this status")
      ->check(CLI::Range(0, 255));
  calls_cmd->add_option("--sold-to", sold_to,
                        "only calls of this sold-to business partner");
  std::string text_filter;
  calls_cmd->add_option("--text", text_filter,
                        "only calls whose description contains this text");
  calls_cmd->add_option("--changed-since", changed_since,
                        "only calls changed since a date or UTC time");
  std::string serial;
  auto* items_cmd = command("items", "the stored serialized items");
  items_cmd->add_option("id", serial, "one item (serial number)");
  items_cmd->add_flag("--json", as_json, "JSON for scripts");
  items_cmd->add_option("--limit", limit, "at most N items")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  items_cmd->add_option("--after", after,
                        "only items whose serial number sorts after this");
  std::optional<size_t> tail;
  auto* log_cmd = command("log", "the log entries, oldest first");
  log_cmd->add_option("--tail", tail, "only the last N entries (0-1000000)")
      ->check(CLI::Range(size_t{0}, size_t{1000000}));
  log_cmd->add_flag("--json", as_json, "the log file's JSON lines as they are");

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
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 40));
  backend_keys
      ->add_option("--prune-older-than", prune_days,
                   "remove the keys made more than DAYS days ago (0-36500)")
      ->check(CLI::Range(int64_t{0}, int64_t{36500}));
  auto* backend_health = backend->add_subcommand(
      "health",
      "the service's readiness check: exit 0 when a write would be taken");

  std::string batch_file, batch_out, batch_id;
  auto* batch = command("batch", "one operation per JSON line", kBatchHelp);
  batch->add_option("file", batch_file, "the JSONL file")->required();
  batch->add_option("--out", batch_out,
                    "write the outcomes to this file instead of standard "
                    "output (replaced when the batch ends)");
  batch->add_option("--batch-id", batch_id,
                    "the batch's identity for its request keys (default: "
                    "its content)");
  traced(batch);

  http::ServeOptions serve_options;
  std::string listen = "127.0.0.1:8080", token_file;
  auto* serve = command("serve", "the operations over HTTP",
                        "Routes, statuses and examples: README, \"Run it as a "
                        "service\".\n\n");
  serve->add_option("--listen", listen,
                    "HOST:PORT to listen on (default 127.0.0.1:8080; port 0: "
                    "any free port)");
  serve
      ->add_option("--workers", serve_options.workers,
                   "requests answered at once (default: the number of cores)")
      ->check(CLI::Range(1, 1024));
  serve
      ->add_option("--body-limit", serve_options.body_limit,
                   "largest request body in bytes (default 1048576)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30));
  serve->add_option("--token-file", token_file,
                    "a file holding the bearer token that every request must "
                    "carry");
  serve
      ->add_option("--timeout", serve_options.timeout_seconds,
                   "seconds to read a request or write an answer (default "
                   "10)")
      ->check(CLI::Range(1, 3600));
  serve->add_option("--trace", serve_options.trace_path,
                    "append what every request sends to the back end to FILE, "
                    "one JSON line per event");

  if (std::optional<std::string> unknown = UnknownCommand(argc, argv)) {
    std::cerr << "quillet: " << *unknown << "\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "quillet: " << e.what() << "\n";
    return kExitUsage;
  }

  auto print = [](const std::string& text) {
    errno = 0;
    std::cout << text;
    return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
  };
  try {
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
      return RunOne(g, request, request_key);
    }
    if (*batch) return RunBatch(g, batch_file, batch_out, batch_id);
    if (*serve) {
      size_t colon = listen.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          listen.find_first_not_of("0123456789", colon + 1) !=
              std::string::npos ||
          colon + 1 == listen.size() || listen.size() - colon > 6)
        throw UsageError("--listen takes HOST:PORT, not '" + listen + "'");
      serve_options.host = listen.substr(0, colon);
      serve_options.port = std::stoi(listen.substr(colon + 1));
      if (serve_options.port > 65535)
        throw UsageError("--listen: no port " + listen.substr(colon + 1));
      serve_options.backend = g;
      if (!token_file.empty()) {
        std::string token = ReadFile(token_file);
        while (!token.empty() &&
               std::isspace(static_cast<unsigned char>(token.back())))
          token.pop_back();
        if (token.empty()) throw UsageError("the token file is empty");
        serve_options.token = token;
      }
      return http::Serve(serve_options);
    }
    if (*load) {
      std::string text = ReadFile(master_file);
      int rows = standins::BackendStore(g.db).LoadMasterData(text);
      return print("loaded " + std::to_string(rows) +
                   " master data rows into " + standins::Displayed(g.db) +
                   "\n");
    }
    if (*migrate) {
      standins::BackendStore store(g.db);
      return print("database " + standins::Displayed(g.db) +
                   " is at schema version " +
                   std::to_string(standins::kSchemaVersion) + "\n");
    }
    if (*backend_status || *backend_keys || *backend_health) {
      standins::BackendStore store(g.db,
                                   standins::BackendStore::Open::kForReading);
      errno = 0;
      if (*backend_health) {
        store.CheckWritable();  // raises, saying why, when not ready
        return print("ok\n");
      }
      if (*backend_keys && prune_days) {
        int64_t before =
            static_cast<int64_t>(std::time(nullptr)) - *prune_days * 86400;
        int64_t pruned = store.PruneKeysBefore(before);
        return print("pruned " + std::to_string(pruned) + " request key" +
                     (pruned == 1 ? "" : "s") + "\n");
      }
      if (*backend_status)
        PrintStatus(std::cout, store, backend_json);
      else
        PrintKeys(std::cout, store,
                  keys_after.empty() ? std::nullopt
                                     : std::optional<std::string>(keys_after),
                  keys_limit, backend_json);
      return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
    }
    if (*log_cmd) {
      errno = 0;
      if (!PrintLog(std::cout, g.LogPath(), tail, as_json) &&
          std::filesystem::exists(g.LogPath()))
        throw UsageError("cannot read '" + g.LogPath() + "'");
      return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
    }
    standins::BackendStore store(g.db,
                                 standins::BackendStore::Open::kForReading);
    errno = 0;
    if (*calls_cmd) {
      if (!number.empty()) {
        std::optional<standins::StoredCall> call = store.Call(number);
        if (!call) throw UsageError("no service call '" + number + "'");
        if (as_json)
          std::cout << CallJson(*call).dump(2) << "\n";
        else
          PrintCallDetail(std::cout, *call);
      } else {
        standins::CallQuery query{.status = status, .limit = limit};
        if (!after.empty()) query.after = after;
        if (!sold_to.empty()) query.sold_to = sold_to;
        if (!text_filter.empty()) query.text = text_filter;
        if (!changed_since.empty())
          query.changed_since = TransactionTimeFrom(changed_since);
        ListCalls(std::cout, store, query, as_json);
      }
    } else if (*items_cmd) {
      if (!serial.empty()) {
        std::optional<standins::StoredItem> item = store.Item(serial);
        if (!item) throw UsageError("no serialized item '" + serial + "'");
        if (as_json)
          std::cout << ItemJson(*item).dump(2) << "\n";
        else
          PrintItem(std::cout, *item);
      } else {
        standins::ItemQuery query{.limit = limit};
        if (!after.empty()) query.after = after;
        ListItems(std::cout, store, query, as_json);
      }
    }
    return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
  } catch (const UsageError& e) {
    std::cerr << "quillet: " << e.what() << "\n";
    return kExitUsage;
  } catch (const Error& e) {
    // The back end refused or failed outside an operation (opening,
    // loading): nothing ran.
    std::cerr << "quillet: " << ToUtf8(e.info().description) << "\n";
    return kExitUsage;
  }
}

}  // namespace
}  // namespace quillet::cli

int main(int argc, char** argv) { return quillet::cli::Main(argc, argv); }
