#include "batch_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <vector>

#include "batch_file.h"
#include "batch_output.h"
#include "exit_status.h"
#include "input.h"
#include "output_paths.h"
#include "quillet/error.h"
#include "quillet/operations/backend.h"
#include "quillet/operations/batch_runs.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/text.h"
#include "reopen_signal.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;
using operations::BatchRun;
using operations::BatchRuns;
using operations::CheckRequestKey;
using operations::DumpJson;
using operations::Excerpt;
using operations::OpName;
using operations::Outcome;
using operations::PreparedOperation;
using operations::UsageError;
using operations::Verdict;

namespace {

// The batch file as an absolute path, as its runs are remembered.
std::string BatchFileName(const std::string& path) {
  std::error_code ec;
  auto name =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path), ec);
  return ec ? path : name.string();
}

// A group of lines, committed together, takes in no more once it has run
// so long (other writers of the database wait for it, and its outcomes are
// written only once it is committed). The first holds one line, each next
// one twice the lines of the one before, up to the most: the first answers
// come at once, and a run that stops early has done little.
constexpr size_t kGroupLines = 64;
constexpr auto kGroupTime = std::chrono::milliseconds(100);

// A line whose back end was busy or away (it recorded nothing), or whose
// outcome is unknown, ends the run there rather than meet the same server
// line after line: says how far the run got and answers the exit status.
// The run is recorded as far as the line before, if the database takes it.
int Stopped(BatchRuns* runs, BatchRun run, size_t line, size_t index,
            const std::string& why, bool unknown) {
  run.lines_done = static_cast<int64_t>(index);
  try {
    if (runs) runs->Record(run);
  } catch (const Error&) {
    // The database is away: the keys of the lines done say the same.
  }
  std::string number = std::to_string(line);
  Say("line " + number + ": " + Excerpt(why, 300) +
      "; the batch stopped there: the lines before it ran, line " + number +
      (unknown ? " may or may not have been recorded"
               : " and the lines after it did not") +
      "; running the batch again goes on from line " + number +
      " (lines already done are answered again, not done again)");
  return unknown ? kExitOutcomeUnknown : kExitNothingRecorded;
}

// The record of how far the run got failed after line `line` ran (the
// database went away between lines): says so, never "nothing ran".
int RecordLost(const Error& e, bool later, size_t line) {
  std::string number = std::to_string(line);
  Say("lines up to " + number +
      " ran, but how far the batch got could not be recorded: " +
      Excerpt(ToUtf8(e.info().description), 300) +
      "; running the batch again answers them again, not done again, and "
      "goes on after line " +
      number);
  return later ? kExitNothingRecorded : kExitRaised;
}

}  // namespace

namespace {

std::string BatchKeyPrefix(const std::string& identity) {
  return "batch:" + identity + ":";
}

}  // namespace

std::string BatchLineKey(const std::string& identity, size_t line) {
  return BatchKeyPrefix(identity) + std::to_string(line);
}

int RunBatch(const Globals& g, const std::string& path,
             const std::string& out_path, const std::string& batch_id,
             bool new_batch) {
  if (new_batch && !batch_id.empty())
    throw UsageError(
        "give --batch-id (continue a run) or --new-batch (a new "
        "run), not both");
  if (path == "-")  // a run is resumed by its file: it needs one
    throw UsageError("batch reads a file, not standard input");
  std::string text = ReadFile(path);
  std::vector<BatchLine> lines = ReadBatchLines(text);
  std::string identity = batch_id.empty() ? BatchIdentity(lines) : batch_id;
  // The identity an earlier release gave the same bytes, if not this one.
  std::string earlier = batch_id.empty() && !new_batch
                            ? EarlierBatchIdentity(text)
                            : std::string();
  if (earlier == identity) earlier.clear();
  text = std::string();
  CheckRequestKey(
      BatchLineKey(identity, lines.empty() ? 0 : lines.back().number));
  BatchOutput output(out_path == "-" ? "" : out_path);  // "-": stdout
  std::vector<NamedPath> outputs = output.Files();
  outputs.push_back({"--trace", g.trace_path});
  std::vector<NamedPath> kept = KeptFiles(g);
  kept.push_back({"the batch file", path});
  CheckOutputPaths(outputs, kept);
  // Before the database is opened: a refused batch makes and migrates
  // nothing.
  std::vector<NamedPath> written = output.Opened();
  written.push_back({"--trace", g.trace_path});
  CheckWritable(written);

  BatchRun run{.identity = identity,
               .file_name = BatchFileName(path),
               .lines = static_cast<int64_t>(lines.size())};
  // A file last run as another batch (interrupted, or run to its end and
  // edited since, or continued under --batch-id) is never run again
  // silently: its done lines would be stored twice.
  auto refuse_if_changed = [&](BatchRuns& runs) {
    if (!batch_id.empty() || new_batch) return;
    // A run begun or finished by an earlier release goes on under its
    // identity: its lines' keys say which were done.
    if (!earlier.empty() && runs.AnyKeyUnder(BatchKeyPrefix(earlier)))
      run.identity = identity = earlier;
    if (auto earlier = runs.Standing(run.file_name, identity))
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
  };
  // Looked up first without writing, so that a refused file leaves the
  // database as it was (a database that cannot be read so, missing, empty
  // or of an earlier schema, is made or migrated first).
  if (!g.dry_run && !operations::IsServerAddress(g.db)) {
    std::optional<BatchRuns> reading;
    try {
      reading.emplace(g, true);
    } catch (const Error&) {
      // looked up below, once the database is opened for writing
    }
    if (reading) refuse_if_changed(*reading);
  }
  // A database that takes no write now (its disk full, say) stops the run
  // before its first line, saying so once.
  auto stopped_before = [&](const Error& e) {
    return Stopped(nullptr, run, lines.empty() ? 1 : lines[0].number, 0,
                   ToUtf8(e.info().description), false);
  };
  std::optional<BatchRuns> opened_runs;
  std::optional<Error> takes_no_write;
  {
    operations::FailureWatch watch;
    try {
      opened_runs.emplace(g, g.dry_run);
    } catch (const Error& e) {
      if (!watch.RetryLater()) throw;
      takes_no_write.emplace(e);
    }
  }
  if (takes_no_write) return stopped_before(*takes_no_write);
  BatchRuns& runs = *opened_runs;
  refuse_if_changed(runs);
  Ref<CallsInterface> calls = operations::OpenCalls(g, true, g.dry_run);
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
  ReopenOnSighup();  // logrotate's SIGHUP: the trace goes on in a new file
  // The file now stands for this run alone (the run's first write).
  if (!g.dry_run) {
    operations::FailureWatch watch;
    try {
      runs.Record(run, new_batch || !batch_id.empty());
    } catch (const Error& e) {
      if (!watch.RetryLater()) throw;
      output.Abandon();
      return stopped_before(e);
    }
  }
  std::ostream& out = output.stream();
  bool progress = isatty(STDERR_FILENO);
  int returned = 0, failed = 0, bad = 0, replayed = 0;
  size_t group_lines = 1;
  for (size_t i = 0; i < lines.size();
       group_lines = std::min(group_lines * 2, kGroupLines)) {
    // A group of lines: one transaction, each line a savepoint in it, its
    // progress record too; answered once it is committed.
    size_t first = i;
    std::vector<std::string> records;
    std::string done;
    std::optional<Outcome> stop;  // the back end busy, away or unanswering
    size_t stop_index = 0;
    std::optional<size_t> undone_at;  // the line whose failure undid it all
    if (auto failure = runs.BeginGroup()) {
      // Nothing of the line written (the database busy past its wait, the
      // file replaced): the run is recorded as far as the group before.
      if (progress) std::cerr << "\n";
      return Stopped(nullptr, run, lines[i].number, i, failure->message, false);
    }
    // Timed once begun (the database may have kept it waiting), and never
    // empty: each group runs its first line whatever the clock says.
    auto started = std::chrono::steady_clock::now();
    for (; i < lines.size() &&
           (i == first ||
            (i - first < group_lines &&
             std::chrono::steady_clock::now() - started < kGroupTime));
         ++i) {
      BatchLine& line = lines[i];
      size_t number = line.number;
      json record = {{"line", number}};
      try {
        if (!line.unreadable.empty()) throw UsageError(line.unreadable);
        PreparedOperation op = operations::Prepare(line.request);
        line.request = nullptr;  // read: a long text is not held twice
        Outcome outcome = operations::Run(
            *calls, op,
            Options(g, BatchLineKey(identity, number), trace, "batch"));
        record["op"] = OpName(op.op);
        if (outcome.replayed) {
          record["replayed"] = true;
          ++replayed;
        }
        record.update(outcome.output);
        outcome.verdict == Verdict::kDone ? ++returned : ++failed;
        if (!outcome.done.empty()) done = outcome.done;
        if (outcome.verdict == Verdict::kRetryLater ||
            outcome.verdict == Verdict::kOutcomeUnknown)
          stop = std::move(outcome);
      } catch (const UsageError& e) {
        ++bad;
        record["usage"] = e.what();
        if (progress) std::cerr << "\r";
        Say(line.unreadable.empty() ? "line " + std::to_string(number) + ": " +
                                          Excerpt(e.what(), 300)
                                    : line.unreadable);
      }
      records.push_back(DumpJson(record));
      if (runs.GroupUndone()) {  // the lines after it would be refused
        undone_at = i++;
        break;
      }
      if (stop) {  // the lines after it wait for the next run
        stop_index = i++;
        break;
      }
    }
    // How far the run got goes in the group; a stopped run is recorded
    // once its group is in.
    std::optional<std::pair<Error, bool>> record_lost;  // and "retry later"
    if (!g.dry_run && !stop) {
      run.lines_done = static_cast<int64_t>(i);
      operations::FailureWatch watch;
      try {
        runs.Record(run);
      } catch (const Error& e) {
        record_lost.emplace(e, watch.RetryLater());
      }
    }
    if (auto failure = runs.CommitGroup()) {
      if (progress) std::cerr << "\n";
      std::string from = std::to_string(lines[first].number);
      Say((undone_at ? "line " + std::to_string(lines[*undone_at].number) +
                           " failed and undid the lines of its group with "
                           "it: "
                     : std::string()) +
          "the database did not take lines " + from + " to " +
          std::to_string(lines[i - 1].number) + ": " + failure->message +
          (failure->outcome_unknown ? "" : "; none of them was stored") +
          "; the batch stopped there; running the batch again is safe" +
          (failure->outcome_unknown ? "" : " and goes on from line " + from));
      if (failure->outcome_unknown) return kExitOutcomeUnknown;
      return failure->retry_later ? kExitNothingRecorded : kExitRaised;
    }
    std::string so_far = "lines up to " + std::to_string(lines[i - 1].number) +
                         " ran" + (done.empty() ? "" : " (" + done + ")") +
                         "; running the batch again is safe";
    errno = 0;
    for (const std::string& record : records) out << record << "\n";
    if (!Flushed(out)) return OutputLost(output.name(), so_far);
    errno = 0;
    if (!trace.Write()) return OutputLost(trace.name(), so_far);
    if (stop) {
      if (progress) std::cerr << "\n";
      return Stopped(g.dry_run ? nullptr : &runs, run, lines[stop_index].number,
                     stop_index, stop->message,
                     stop->verdict == Verdict::kOutcomeUnknown);
    }
    if (record_lost) {
      if (progress) std::cerr << "\n";
      return RecordLost(record_lost->first, record_lost->second,
                        lines[i - 1].number);
    }
    if (progress) {
      size_t bar = (i * 30) / lines.size();
      std::cerr << "\r[" << std::string(bar, '#') << std::string(30 - bar, ' ')
                << "] " << i << "/" << lines.size() << std::flush;
    }
  }
  errno = 0;
  if (!output.Finish())
    return OutputLost(output.name(),
                      "every line ran; running the batch again is safe");
  if (!g.dry_run) {
    run.lines_done = run.lines;
    run.finished = true;
    operations::FailureWatch watch;
    try {
      runs.Record(run);
    } catch (const Error& e) {
      return RecordLost(e, watch.RetryLater(), lines.back().number);
    }
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

}  // namespace quillet::cli
