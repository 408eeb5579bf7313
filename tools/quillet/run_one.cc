#include "run_one.h"

#include <cerrno>
#include <iostream>

#include "exit_status.h"
#include "output_paths.h"
#include "quillet/operations/json_variant.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;
using operations::CheckRequestKey;
using operations::DumpJson;
using operations::Op;
using operations::Outcome;
using operations::PreparedOperation;
using operations::Verdict;

int RunOne(const Globals& g, json request, const std::string& key) {
  PreparedOperation op = operations::Prepare(request);
  request = json();
  if (!key.empty()) CheckRequestKey(key);
  CheckOutputPaths({{"--trace", g.trace_path}}, KeptFiles(g));
  // Before the database is opened: a refused command makes and migrates
  // nothing.
  CheckWritable({{"--trace", g.trace_path}});
  Ref<CallsInterface> calls =
      operations::OpenCalls(g, op.op != Op::kTimeFormat, g.dry_run);
  // Opened (and emptied) only once the request has been accepted.
  TraceOutput trace(g.trace_path, g.whole_texts);
  Outcome outcome = operations::Run(*calls, op, Options(g, key, trace));
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
  if (!outcome.warning.empty()) Say("warning: " + outcome.warning);
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
  // The database refuses this role's write: unusable as it is, for the
  // operator to mend; not the request's failure, nor worth a retry.
  if (outcome.not_permitted) return kExitUsage;
  return StatusOf(outcome.verdict);
}

}  // namespace quillet::cli
