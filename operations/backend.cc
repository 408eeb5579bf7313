#include "quillet/operations/backend.h"

#include <filesystem>

#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/standins/store_pool.h"
#include "quillet/standins/transaction_host.h"

namespace quillet::operations {

std::string BackendSetup::LogPath() const {
  if (!log.empty()) return log;
  if (standins::IsPostgresUri(db)) return "quillet.log";
  return (std::filesystem::path(db).parent_path() / "quillet.log").string();
}

Ref<CallsInterface> OpenCalls(const BackendSetup& setup, bool with_backend,
                              bool dry_run) {
  if (with_backend) {
    // The store that checked the database serves the first operation: one
    // connection per command. A dry run's store creates, migrates and changes
    // nothing of the database.
    standins::RegisterEmbeddedBackend(
        setup.db, {.key_retention_seconds = setup.keep_keys_days * 24 * 3600,
                   .open = dry_run ? standins::OpenMode::kAsIs
                                   : standins::OpenMode::kForWriting});
    standins::RegisterFileLog(setup.LogPath());
  }
  RegisterQuillet();
  return CreateAs<CallsInterface>(kCallsClassName);
}

bool BackendReachable(const BackendSetup& setup) {
  try {
    standins::BackendStore store(setup.db,
                                 standins::BackendStore::Open::kForReading);
    return true;
  } catch (const Error&) {
    return false;
  }
}

void SetStoresPerDatabase(size_t limit) { standins::SetStoreLimit(limit); }

void StopWaitingForDatabases() { standins::StopWaiting(); }

struct FailureWatch::Listening {
  standins::ListeningScope scope;
};

FailureWatch::FailureWatch() : listening_(std::make_unique<Listening>()) {}
FailureWatch::~FailureWatch() = default;

bool FailureWatch::RetryLater() const {
  return listening_->scope.context()->RetryLater();
}

bool FailureWatch::OutcomeUnknown() const {
  return listening_->scope.context()->OutcomeUnknown();
}

bool IsServerAddress(const std::string& db) {
  return standins::IsPostgresUri(db);
}

std::string DisplayedAddress(const std::string& db) {
  return standins::Displayed(db);
}

}  // namespace quillet::operations
