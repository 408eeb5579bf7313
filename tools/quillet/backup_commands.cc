#include "backup_commands.h"

#include <cerrno>
#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

#include "exit_status.h"
#include "output_paths.h"
#include "quillet/operations/backup.h"
#include "quillet/operations/text_excerpt.h"

namespace quillet::cli {
namespace {

using Clock = std::chrono::steady_clock;

// "copied 41% (8192 of 20000 pages)" on standard error, at most once a
// second, for a copy of more than one step.
operations::BackupProgress Progress(const char* verb) {
  auto last = std::make_shared<Clock::time_point>(Clock::now());
  return [verb, last](int64_t done, int64_t total) {
    if (done >= total || Clock::now() - *last < std::chrono::seconds(1)) return;
    *last = Clock::now();
    std::cerr << "quillet: " << verb << " " << done * 100 / total << "% ("
              << done << " of " << total << " pages)" << std::endl;
  };
}

std::string Holding(const operations::BackupFacts& f) {
  return "schema version " + std::to_string(f.schema_version) + ", " +
         std::to_string(f.calls) + " calls, " + std::to_string(f.items) +
         " items, " + std::to_string(f.request_keys) + " request keys";
}

int Said(const std::string& text) {
  errno = 0;
  std::cout << text << "\n";
  return Flushed(std::cout) ? kExitDone : OutputLost("the output", "");
}

}  // namespace

int RunBackup(const Globals& g, const std::string& file,
              const std::string& audit_path) {
  std::vector<NamedPath> kept = KeptFiles(g);
  kept.push_back({"the service's audit trail", audit_path});
  CheckOutputPaths({{"the backup", file}}, kept);
  CheckWritable({{"the backup", file}});
  operations::BackupFacts facts =
      operations::BackupDatabase(g, file, Progress("backed up"));
  return Said("backup '" + operations::Excerpt(file, 200) +
              "' written and checked: " + Holding(facts));
}

int RunRestore(const Globals& g, const std::string& file) {
  operations::RestoreResult result =
      operations::RestoreDatabase(g, file, Progress("restored"));
  std::string text = "database '" + operations::Excerpt(g.db, 200) +
                     "' restored from '" + operations::Excerpt(file, 200) +
                     "': " + Holding(result.facts);
  if (!result.kept_aside.empty())
    text += "\nthe database it replaced is kept as '" +
            operations::Excerpt(result.kept_aside, 200) + "'";
  return Said(text);
}

}  // namespace quillet::cli
