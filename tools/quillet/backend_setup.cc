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
    // A dry run checks the database without writing anything (no migration,
    // no new file); otherwise the store that checked the database serves the
    // first operation: one connection per command.
    standins::RegisterEmbeddedBackend(
        setup.db, {.key_retention_seconds = setup.keep_keys_days * 24 * 3600,
                   .open = dry_run ? standins::OpenMode::kForReading
                                   : standins::OpenMode::kForWriting});
    standins::RegisterFileLog(setup.LogPath());
  }
  RegisterQuillet();
  return CreateAs<CallsInterface>(kCallsClassName);
}

}  // namespace quillet::cli
