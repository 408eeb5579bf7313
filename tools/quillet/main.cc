// quillet: the Calls component from the command line, on the embedded back
// end. Each command prints one JSON object (or a table for people); the exit
// status says what happened (kExit... below and the README).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <string_view>
#include <tuple>

#include "backend_commands.h"
#include "backend_setup.h"
#include "batch_file.h"
#include "http/server.h"
#include "http/tokens.h"
#include "input.h"
#include "operations.h"
#include "output_paths.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
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
  kExitOutputLost = 4,       // it ran, but its output (or, after its
                             // write, its log entry) could not be written
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

// One line to standard error; text that came from input or the database
// is shown escaped, never acted on by the terminal.
// A URI's password never reaches standard error, whichever message quotes
// the URI (a mistyped command word, a path, a scheme spelled wrong).
void Say(const std::string& line) {
  static const std::regex kPassword(
      R"(([A-Za-z][A-Za-z0-9+.-]*:/+[^:/@\s'"]*:)[^@\s'"]*@)");
  std::cerr << "quillet: "
            << Printable(std::regex_replace(line, kPassword, "$1***@")) << "\n";
}

int OutputLost(const std::string& what, const std::string& done) {
  std::string reason = errno ? std::strerror(errno) : "write failed";
  Say("cannot write " + what + " (" + reason + ")" +
      (done.empty() ? "" : "; the operation ran: " + done));
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
  if (!key.empty()) CheckRequestKey(key);
  CheckOutputPaths({{"--trace", g.trace_path}}, KeptFiles(g));
  Ref<CallsInterface> calls = OpenCalls(g, op.op != Op::kTimeFormat, g.dry_run);
  // Opened (and emptied) only once the request has been accepted.
  TraceOutput trace(g.trace_path, g.whole_texts);
  Outcome outcome = Run(*calls, op, Options(g, key, trace));
  std::string done = outcome.done;
  if (!done.empty() && !key.empty())
    done += "; retrying with the same --key is safe";
  // The answer first: a trace that cannot be written never hides it.
  errno = 0;
  std::cout << DumpJson(outcome.output, 2) << "\n";
  if (!Flushed(std::cout)) return OutputLost("the output", done);
  if (outcome.dry_run)
    std::cerr << "quillet: dry run: the answer is what the request would "
                 "have had; nothing was stored\n";
  if (outcome.replayed)
    std::cerr << "quillet: replayed: a request under this --key was already "
                 "carried out; its answer is repeated and nothing was done "
                 "again\n";
  if (outcome.raised_after_storing) {
    // Stored, then failed: say what exists, and whether a retry is safe.
    Say(outcome.message + "; the operation ran: " + outcome.done +
        (key.empty() ? "; running it again would store it again (a request "
                       "made under --key is safe to retry)"
                     : "; retrying with the same --key is safe"));
  } else if (outcome.verdict != Verdict::kDone) {
    Say(outcome.message);
  }
  errno = 0;
  if (!trace.Write())
    return OutputLost(trace.name(),
                      done.empty() ? "its answer is above" : done);
  if (outcome.raised_after_storing) return kExitOutputLost;
  return StatusOf(outcome.verdict);
}

// Outcomes go to standard output as they come, or to `out_path`: a regular
// file (or a new one) is written beside it and renamed into place at the
// end, so a killed batch leaves the last complete file (or none), never a
// torn or doubled one; anything else (a device, a pipe) is written directly.
// The file beside it is locked while it is written: a second run on the
// same outcome file is refused, never interleaved.
class BatchOutput {
 public:
  explicit BatchOutput(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    std::error_code ec;
    auto status = std::filesystem::status(path_, ec);
    if (std::filesystem::is_directory(status))
      throw UsageError("--out '" + Excerpt(path_, 200) + "' is a folder");
    bool replace = !std::filesystem::exists(status) ||
                   std::filesystem::is_regular_file(status);
    partial_ = replace ? path_ + ".partial" : path_;
  }
  ~BatchOutput() {
    if (lock_ >= 0) ::close(lock_);
  }
  BatchOutput(const BatchOutput&) = delete;
  BatchOutput& operator=(const BatchOutput&) = delete;

  // The files it writes, for CheckOutputPaths.
  std::vector<NamedPath> Files() const {
    if (path_.empty()) return {};
    return {{"--out", path_}, {"--out's partial file", partial_}};
  }
  // Opens the file, last of all, once the batch has been accepted.
  void Open() {
    if (path_.empty()) return;
    if (partial_ != path_) Lock();
    file_.open(partial_, std::ios::trunc);
    if (!file_)
      throw UsageError("cannot write '" + Excerpt(partial_, 200) + "'");
  }
  std::ostream& stream() { return path_.empty() ? std::cout : file_; }
  std::string name() const {
    return path_.empty() ? "the outcomes"
                         : "the outcomes to '" + Excerpt(path_, 200) + "'";
  }
  // Removes the file that Open made, for a batch refused after it.
  void Abandon() {
    if (lock_ < 0) return;
    file_.close();
    ::unlink(partial_.c_str());
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
  // An exclusive lock on the partial file. The run that holds it may
  // rename the file away meanwhile: the lock counts only while the locked
  // file is still the one of that name.
  void Lock() {
    for (int attempt = 0; attempt < 10; ++attempt) {
      int fd = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0)
        throw UsageError("cannot write '" + Excerpt(partial_, 200) + "'");
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK)
          throw UsageError("cannot lock '" + Excerpt(partial_, 200) + "' (" +
                           std::strerror(error) + ")");
        throw UsageError("another run of a batch is writing '" +
                         Excerpt(path_, 200) + "' (it holds '" +
                         Excerpt(partial_, 200) +
                         "'); wait for it to end, or give another --out");
      }
      struct stat locked {};
      struct stat named {};
      if (::fstat(fd, &locked) == 0 && ::stat(partial_.c_str(), &named) == 0 &&
          locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
        lock_ = fd;
        return;
      }
      ::close(fd);
    }
    throw UsageError("cannot lock '" + Excerpt(partial_, 200) + "'");
  }

  std::string path_, partial_;
  std::ofstream file_;
  int lock_ = -1;
};

// The batch file as an absolute path, as its runs are remembered.
std::string BatchFileName(const std::string& path) {
  std::error_code ec;
  auto name =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path), ec);
  return ec ? path : name.string();
}

// How often a run records how far it got.
constexpr size_t kRecordEvery = 100;

// Every line runs under the key "batch:<identity>:<line>", the identity
// being --batch-id or what the lines say: running the same batch again
// records nothing twice and answers each line as the first run did.
int RunBatch(const Globals& g, const std::string& path,
             const std::string& out_path, const std::string& batch_id,
             bool new_batch) {
  if (new_batch && !batch_id.empty())
    throw UsageError(
        "give --batch-id (continue a run) or --new-batch (a new "
        "run), not both");
  if (path == "-")  // a run is resumed by its file: it needs one
    throw UsageError("batch reads a file, not standard input");
  std::vector<BatchLine> lines = ReadBatchLines(ReadFile(path));
  std::string identity = batch_id.empty() ? BatchIdentity(lines) : batch_id;
  CheckRequestKey("batch:" + identity + ":" +
                  std::to_string(lines.empty() ? 0 : lines.back().number));
  BatchOutput output(out_path == "-" ? "" : out_path);  // "-": stdout
  std::vector<NamedPath> outputs = output.Files();
  outputs.push_back({"--trace", g.trace_path});
  std::vector<NamedPath> kept = KeptFiles(g);
  kept.push_back({"the batch file", path});
  CheckOutputPaths(outputs, kept);

  standins::BackendStore runs(
      g.db, g.dry_run ? standins::BackendStore::Open::kForReading
                      : standins::BackendStore::Open::kForWriting);
  standins::BatchRun run{.identity = identity,
                         .file_name = BatchFileName(path),
                         .lines = static_cast<int64_t>(lines.size())};
  if (batch_id.empty() && !new_batch) {
    // A file last run as another batch (interrupted, or run to its end
    // and edited since, or continued under --batch-id) is never run again
    // silently: its done lines would be stored twice.
    if (auto earlier = runs.StandingBatchRun(run.file_name, identity))
      throw UsageError(
          "'" + Excerpt(path, 200) + "' has " +
          (earlier->finished ? "a finished" : "an unfinished") +
          " run as batch " + Excerpt(earlier->identity, 200) + " (" +
          (earlier->finished ? "" : "at least ") +
          std::to_string(earlier->lines_done) + " of " +
          std::to_string(earlier->lines) +
          " lines done), and its lines now make batch " + identity +
          ": the file changed. Give --batch-id " +
          Excerpt(earlier->identity, 200) +
          " to go on with that run (lines it did are answered again, not "
          "done again; new lines run), or --new-batch to run the file as a "
          "new batch (every line runs again); nothing ran");
  }
  Ref<CallsInterface> calls = OpenCalls(g, true, g.dry_run);
  // Opened once everything else is known to be usable: a refused batch
  // leaves no file behind, and no run is remembered before it can write.
  output.Open();
  std::optional<TraceOutput> opened;
  try {
    opened.emplace(g.trace_path, g.whole_texts);
  } catch (...) {
    output.Abandon();
    throw;
  }
  TraceOutput& trace = *opened;
  // The file now stands for this run alone.
  if (!g.dry_run) runs.RecordBatchRun(run, new_batch || !batch_id.empty());
  std::ostream& out = output.stream();
  bool progress = isatty(STDERR_FILENO);
  int returned = 0, failed = 0, bad = 0, replayed = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const BatchLine& line = lines[i];
    size_t number = line.number;
    json record = {{"line", number}};
    std::string done;
    try {
      if (!line.unreadable.empty()) throw UsageError(line.unreadable);
      PreparedOperation op = Prepare(line.request);
      std::string key = "batch:" + identity + ":" + std::to_string(number);
      Outcome outcome = Run(*calls, op, Options(g, key, trace));
      record["op"] = OpName(op.op);
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
      if (progress) std::cerr << "\r";
      Say(line.unreadable.empty()
              ? "line " + std::to_string(number) + ": " + Excerpt(e.what(), 300)
              : line.unreadable);
    }
    std::string so_far = "lines up to " + std::to_string(number) + " ran" +
                         (done.empty() ? "" : " (" + done + ")") +
                         "; running the batch again is safe";
    errno = 0;
    out << DumpJson(record) << "\n";
    if (!Flushed(out)) return OutputLost(output.name(), so_far);
    errno = 0;
    if (!trace.Write()) return OutputLost(trace.name(), so_far);
    if (!g.dry_run && (i + 1) % kRecordEvery == 0) {
      run.lines_done = static_cast<int64_t>(i + 1);
      runs.RecordBatchRun(run);
    }
    if (progress) {
      size_t bar = ((i + 1) * 30) / lines.size();
      std::cerr << "\r[" << std::string(bar, '#') << std::string(30 - bar, ' ')
                << "] " << i + 1 << "/" << lines.size() << std::flush;
    }
  }
  errno = 0;
  if (!output.Finish())
    return OutputLost(output.name(),
                      "every line ran; running the batch again is safe");
  if (!g.dry_run) {
    run.lines_done = run.lines;
    run.finished = true;
    runs.RecordBatchRun(run);
  }
  if (progress) std::cerr << "\n";
  std::cerr << "batch: " << (returned + failed + bad) << " operations, "
            << returned << " returned, " << failed
            << " raised or recorded nothing, " << bad << " bad lines, "
            << replayed << " replayed\n";
  if (g.dry_run) std::cerr << "batch: dry run: nothing was stored\n";
  if (bad) return kExitLinesUnread;
  return failed ? kExitRaised : kExitDone;
}

// "2026-12-01", "20261201", "2026-12-01T08:30:00Z" (UTC) or a transaction
// time as it is stored (seconds since 2000; any number of digits but eight,
// which is a date). A day that the month does not have is refused.
int64_t TransactionTimeFrom(const std::string& text) {
  bool digits = !text.empty() &&
                text.find_first_not_of("0123456789") == std::string::npos;
  if (digits && text.size() != 8 && text.size() <= 12) return std::stoll(text);
  std::tm tm{};
  const char* end = nullptr;
  for (const char* format : {"%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%d", "%Y%m%d"}) {
    tm = {};
    end = strptime(text.c_str(), format, &tm);
    if (end && !*end) break;
  }
  std::tm given = tm;
  time_t unix_time = timegm(&tm);
  // timegm rolls 2026-02-31 over into March: such a date is not a date.
  bool real = end && !*end && tm.tm_year == given.tm_year &&
              tm.tm_mon == given.tm_mon && tm.tm_mday == given.tm_mday &&
              tm.tm_hour == given.tm_hour && tm.tm_min == given.tm_min &&
              tm.tm_sec == given.tm_sec;
  if (!real)
    throw UsageError("--changed-since '" + text +
                     "' is not a date (2026-12-01 or 20261201), a UTC time "
                     "(2026-12-01T08:30:00Z) or a stored transaction time");
  return standins::TransactionTimeAt(static_cast<int64_t>(unix_time));
}

const std::vector<std::string>& CommandNames() {
  static const std::vector<std::string> names = {
      "create-call", "update-call", "time-format", "create-item",
      "update-item", "calls",       "items",       "log",
      "backend",     "batch",       "serve",       "token"};
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
    if (arg == "--db" || arg == "--log" || arg == "--keep-keys") {
      ++i;  // the option's value
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

constexpr const char* kKeyNeeded =
    "--key needs a key: 1 to 200 characters, no control characters";
static_assert(quillet::kMaxRequestKeyLength == 200);

// A range check whose bounds the option's own help states in words.
template <class T>
CLI::Validator Bounded(T low, T high) {
  CLI::Validator range = CLI::Range(low, high);
  range.description("");
  return range;
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
    "  --keep-keys N   days that the request keys written are kept (1 to\n"
    "                  3650, default 7)\n"
    "Exit status: 0 done; 1 raised; 2 unusable input or database (nothing\n"
    "ran); 3 returned but recorded nothing; 4 the output or the log could\n"
    "not be written (the operation ran); 5 batch lines that could not be\n"
    "read (the rest ran); 6 outcome unknown (the connection to the database\n"
    "was lost after the commit was sent: it may or may not be recorded).";

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
    "  8  status 10; Q_ID (so does a request without OPTION, or with any\n"
    "     OPTION that is not 1-9)\n"
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
    "\"replayed\": true.\n\n"
    "The identity comes from what the lines say: each line's number and its\n"
    "request as parsed. Line ends (LF or CR LF), blank lines after the "
    "last\nrequest and blanks around a line's JSON do not change it; a "
    "changed request\nor a line moved (also by a blank line before it) "
    "does.\nThe database remembers each run (its identity, file, "
    "lines done, finished\nor not). Running a file that was last run as "
    "another batch (edited since,\nor continued under --batch-id) is "
    "refused (status 2), naming both\nidentities. Then either\n"
    "  --batch-id ID   goes on with the earlier run: lines it did are "
    "answered\n                  again, not done again; new lines run, or\n"
    "  --new-batch     runs the file as a new batch: every line runs "
    "again.\nOne run at a time writes an --out file; a second is refused "
    "while the\nfirst runs.\n\n";

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
      ->check(Bounded(int64_t{1}, int64_t{3650}));
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
      ->type_name("N")
      ->check(Bounded(int64_t{0}, int64_t{1} << 40));
  calls_cmd->add_option("--after", after,
                        "only calls created after this call number");
  calls_cmd
      ->add_option("--status", status,
                   "only calls with this status (0-255; 0: new)")
      ->type_name("N")
      ->check(Bounded(0, 255));
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
      ->type_name("N")
      ->check(Bounded(int64_t{0}, int64_t{1} << 40));
  items_cmd->add_option("--after", after,
                        "only items whose serial number sorts after this");
  std::optional<size_t> tail;
  auto* log_cmd = command("log", "the log entries, oldest first");
  log_cmd->add_option("--tail", tail, "only the last N entries (0-1000000)")
      ->type_name("N")
      ->check(Bounded(size_t{0}, size_t{1000000}));
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
  serve->add_option("--token-file", serve_options.token_file,
                    "the token file (named tokens with scopes, or one bare "
                    "token); re-read on SIGHUP");
  serve
      ->add_option("--timeout", serve_options.timeout_seconds,
                   "seconds to read a whole request, and to write an answer "
                   "(default 10)")
      ->check(CLI::Range(1, 3600));
  serve
      ->add_option("--idle-timeout", serve_options.idle_seconds,
                   "seconds a kept-alive connection may wait for its next "
                   "request (default 5)")
      ->check(CLI::Range(1, 3600));
  serve
      ->add_option("--max-connections", serve_options.max_connections,
                   "connections at once (default 4096); 503 beyond")
      ->check(CLI::Range(1, 1 << 20));
  serve
      ->add_option("--max-connections-per-client",
                   serve_options.max_connections_per_client,
                   "connections at once from one address (default 256); 503 "
                   "beyond")
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
                    "the audit trail of writes, JSON lines (default: "
                    "quillet-audit.jsonl beside the log)");
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
  try {
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
      return RunOne(g, request, request_key);
    }
    if (*batch) return RunBatch(g, batch_file, batch_out, batch_id, new_batch);
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
      std::string audit = serve_options.audit_path.empty()
                              ? http::DefaultAuditPath(g)
                              : serve_options.audit_path;
      std::vector<NamedPath> kept = KeptFiles(g);
      kept.push_back({"the token file", serve_options.token_file});
      CheckOutputPaths(
          {{"--trace", serve_options.trace_path}, {"--audit", audit}}, kept);
      return http::Serve(serve_options);
    }
    if (*token_add)
      return print(http::AddToken(token_path, token_name,
                                  *http::ParseScope(token_scope)) +
                   "\n");
    if (*load) {
      std::string text = ReadFile(master_file);
      standins::BackendStore::CheckMasterData(text);  // before any change
      int rows = standins::BackendStore(g.db).LoadMasterData(text);
      return print("loaded " + std::to_string(rows) +
                   " master data rows into " + standins::Displayed(g.db) +
                   "\n");
    }
    if (*migrate) {
      std::error_code ec;
      if (!standins::IsPostgresUri(g.db) &&
          !(std::filesystem::is_regular_file(g.db, ec) &&
            std::filesystem::file_size(g.db, ec) > 0))
        throw UsageError("no database '" + Excerpt(g.db, 200) +
                         "' to bring up to date; nothing was created");
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
      // The log beside a mistyped database is no log: say so, as the other
      // reading commands do. (Without --db, the folder's log is read even
      // with no database file: a service on PostgreSQL writes it there.)
      std::error_code ec;
      if (app.count("--db") && g.log.empty() &&
          !standins::IsPostgresUri(g.db) && !std::filesystem::exists(g.db, ec))
        throw UsageError("no database '" + g.db + "'");
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
          std::cout << DumpJson(CallJson(*call), 2) << "\n";
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
          std::cout << DumpJson(ItemJson(*item), 2) << "\n";
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
    Say(e.what());
    return kExitUsage;
  } catch (const Error& e) {
    // The back end refused or failed outside an operation (opening,
    // loading): nothing ran. A server that was away, or busy, past the wait
    // is worth trying again (3); anything else needs a change first (2).
    bool later =
        standins::TakeFailureKind() == standins::FailureKind::kRetryLater;
    Say(ToUtf8(e.info().description) +
        (later ? "; nothing was written; try again" : ""));
    return later ? kExitNothingRecorded : kExitUsage;
  }
}

}  // namespace
}  // namespace quillet::cli

int main(int argc, char** argv) {
  // A reader that went away (`quillet calls | head`) is a write that
  // failed, reported with what was done, not a silent death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  return quillet::cli::Main(argc, argv);
}
