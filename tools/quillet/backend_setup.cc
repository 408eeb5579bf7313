#include "backend_setup.h"

#include <filesystem>

#include "quillet/class_registry.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"

namespace quillet::cli {

std::string BackendSetup::LogPath() const {
  if (!log.empty()) return log;
  if (standins::IsPostgresUri(db)) return "quillet.log";
  return (std::filesystem::path(db).parent_path() / "quillet.log").string();
}

Ref<CallsInterface> OpenCalls(const BackendSetup& setup, bool with_backend,
                              bool dry_run) {
  if (with_backend) {
    standins::BackendStore store(
        setup.db, dry_run ? standins::BackendStore::Open::kForReading
                          : standins::BackendStore::Open::kForWriting);
    standins::RegisterEmbeddedBackend(
        setup.db, {.key_retention_seconds = setup.keep_keys_days * 24 * 3600});
    standins::RegisterFileLog(setup.LogPath());
  }
  RegisterQuillet();
  return CreateAs<CallsInterface>(kCallsClassName);
}

}  // namespace quillet::cli
