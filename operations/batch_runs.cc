#include "quillet/operations/batch_runs.h"

#include "quillet/error.h"
#include "quillet/standins/store_pool.h"
#include "quillet/text.h"

namespace quillet::operations {

struct BatchRuns::Held {
  standins::BorrowedStore store;
  bool dry_run;
  std::unique_ptr<standins::WriteHold> group;  // ends before the store
};

BatchRuns::BatchRuns(const BackendSetup& backend, bool dry_run)
    : held_(new Held{
          standins::BorrowedStore(
              backend.db, dry_run ? standins::BackendStore::Open::kForReading
                                  : standins::BackendStore::Open::kForWriting),
          dry_run, nullptr}) {}

BatchRuns::~BatchRuns() = default;

std::optional<BatchRun> BatchRuns::Standing(const std::string& file_name,
                                            const std::string& identity) {
  std::optional<standins::BatchRun> run =
      held_->store->StandingBatchRun(file_name, identity);
  if (!run) return std::nullopt;
  return BatchRun{.identity = run->identity,
                  .file_name = run->file_name,
                  .lines = run->lines,
                  .lines_done = run->lines_done,
                  .finished = run->finished};
}

void BatchRuns::Record(const BatchRun& run, bool set_aside_others) {
  held_->store->RecordBatchRun({.identity = run.identity,
                                .file_name = run.file_name,
                                .lines = run.lines,
                                .lines_done = run.lines_done,
                                .finished = run.finished},
                               set_aside_others);
}

bool BatchRuns::AnyKeyUnder(const std::string& prefix) {
  std::vector<standins::KeyListing> next = held_->store->Keys(prefix, 1);
  return !next.empty() && next[0].key.starts_with(prefix);
}

namespace {

BatchRuns::GroupFailure Failed(const Error& e) {
  standins::FailureKind kind = standins::TakeFailureKind();
  return {.message = ToUtf8(e.info().description),
          .retry_later = standins::RetryLater(kind),
          .outcome_unknown = kind == standins::FailureKind::kOutcomeUnknown};
}

}  // namespace

std::optional<BatchRuns::GroupFailure> BatchRuns::BeginGroup() {
  if (held_->dry_run || held_->group) return std::nullopt;
  try {
    held_->group = held_->store->HoldWrites();
    return std::nullopt;
  } catch (const Error& e) {
    return Failed(e);
  }
}

bool BatchRuns::GroupUndone() const {
  return held_->group && held_->group->Undone();
}

std::optional<BatchRuns::GroupFailure> BatchRuns::CommitGroup() {
  std::unique_ptr<standins::WriteHold> group = std::move(held_->group);
  if (!group) return std::nullopt;
  try {
    group->Commit();
    return std::nullopt;
  } catch (const Error& e) {
    return Failed(e);
  }
}

}  // namespace quillet::operations
