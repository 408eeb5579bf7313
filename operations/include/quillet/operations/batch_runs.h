// The database's memory of batch runs, so that an interrupted run is told
// from an edited file: a run of a file is its identity (what its lines say,
// or the caller's batch id), how many lines it has, how many ran, and
// whether it finished.
//
//   BatchRuns runs(backend, dry_run);
//   if (auto earlier = runs.Standing(file, identity)) ...  // refuse
//   runs.Record(run);                                       // as it goes
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "quillet/listing_queries.h"
#include "quillet/operations/backend.h"

namespace quillet::operations {

// Defined once for both sides of the seam (quillet/listing_queries.h).
using quillet::BatchRun;

class BatchRuns {
 public:
  // Holds a store of the pool for its life: opened for reading for a dry
  // run (which records nothing), else for writing. Raises the back end's
  // Error when the database cannot be used so.
  BatchRuns(const BackendSetup& backend, bool dry_run);
  ~BatchRuns();
  BatchRuns(const BatchRuns&) = delete;
  BatchRuns& operator=(const BatchRuns&) = delete;

  // The run of `file_name` that still stands (unfinished or finished, not
  // set aside) under another identity than `identity`, if any: the file was
  // last run as another batch.
  std::optional<BatchRun> Standing(const std::string& file_name,
                                   const std::string& identity);
  // Records `run`. With `set_aside_others`, the file's other runs no longer
  // stand.
  void Record(const BatchRun& run, bool set_aside_others = false);
  // Whether any request key begins with `prefix` (a batch's lines' keys).
  bool AnyKeyUnder(const std::string& prefix);

  // Holds the writes this thread makes to the database from now on (its
  // operations' and Record's) in one transaction until CommitGroup, so that
  // they are stored whole or not at all, with one commit. Other writers of
  // the database wait meanwhile: keep a group short. Nothing for a dry run
  // or a database that commits each write on its own.
  // Why a group was not begun or not committed, whether the same may
  // succeed later (the database busy, its disk full), and whether it may
  // have been committed all the same (the commit's answer was lost).
  struct GroupFailure {
    std::string message;
    bool retry_later = false;
    bool outcome_unknown = false;
  };
  // Begins a group: why it could not (nothing was written then).
  std::optional<GroupFailure> BeginGroup();
  // Whether a failed write in the group has undone all of it: the group's
  // later writes and its commit are refused.
  bool GroupUndone() const;
  // Commits the group begun: nothing once it is stored.
  std::optional<GroupFailure> CommitGroup();

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};

}  // namespace quillet::operations
