#include "quillet/operations/batch_runs.h"

#include "context_parts.h"
#include "quillet/error.h"
#include "quillet/operations/backend.h"
#include "quillet/standins/store_pool.h"
#include "quillet/text.h"

namespace quillet::operations {

struct BatchRuns::Held {
  standins::BorrowedStore store;
  bool dry_run;
  std::unique_ptr<standins::WriteHold> group;  // ends before the store
};

BatchRuns::BatchRuns(const BackendSetup& backend, bool dry_run)
    : held_(new Held{standins::BorrowedStore(
                         BackendOf(backend), backend.db,
                         dry_run ? standins::BackendStore::Open::kForReading
                                 : standins::BackendStore::Open::kForWriting),
                     dry_run, nullptr}) {}

BatchRuns::~BatchRuns() = default;

std::optional<BatchRun> BatchRuns::Standing(const std::string& file_name,
                                            const std::string& identity) {
  return held_->store->StandingBatchRun(file_name, identity);
}

void BatchRuns::Record(const BatchRun& run, bool set_aside_others) {
  held_->store->RecordBatchRun(run, set_aside_others);
}

bool BatchRuns::AnyKeyUnder(const std::string& prefix) {
  std::vector<standins::KeyListing> next = held_->store->Keys(prefix, 1);
  return !next.empty() && next[0].key.starts_with(prefix);
}

namespace {

BatchRuns::GroupFailure Failed(const Error& e, const FailureWatch& watch) {
  return {.message = ToUtf8(e.info().description),
          .retry_later = watch.RetryLater(),
          .outcome_unknown = watch.OutcomeUnknown()};
}

}  // namespace

std::optional<BatchRuns::GroupFailure> BatchRuns::BeginGroup() {
  if (held_->dry_run || held_->group) return std::nullopt;
  FailureWatch watch;
  try {
    held_->group = held_->store->HoldWrites();
    return std::nullopt;
  } catch (const Error& e) {
    return Failed(e, watch);
  }
}

bool BatchRuns::GroupUndone() const {
  return held_->group && held_->group->Undone();
}

std::optional<BatchRuns::GroupFailure> BatchRuns::CommitGroup() {
  std::unique_ptr<standins::WriteHold> group = std::move(held_->group);
  if (!group) return std::nullopt;
  FailureWatch watch;
  try {
    group->Commit();
    return std::nullopt;
  } catch (const Error& e) {
    return Failed(e, watch);
  }
}

}  // namespace quillet::operations
