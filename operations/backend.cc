#include "quillet/operations/backend.h"

#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "context_parts.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/standins/store_pool.h"
#include "quillet/standins/transaction_host.h"

namespace quillet::operations {

Context::Context() : parts_(std::make_unique<Parts>()) {}
Context::~Context() = default;

standins::BackendContext& BackendOf(const BackendSetup& setup) {
  if (!setup.context)
    throw std::logic_error("a back end set up without its front end's context");
  return setup.context->parts().backend;
}

std::string BackendSetup::LogPath() const {
  if (!log.empty()) return log;
  if (standins::IsPostgresUri(db)) return "quillet.log";
  return (std::filesystem::path(db).parent_path() / "quillet.log").string();
}

namespace {

Ref<CallsInterface> Opened(const BackendSetup& setup,
                           std::optional<standins::OpenMode> checked) {
  if (checked) {
    standins::RegisterEmbeddedBackend(
        BackendOf(setup), setup.db,
        {.key_retention_seconds = setup.keep_keys_days * 24 * 3600,
         .open = *checked});
    standins::RegisterFileLog(setup.LogPath());
  }
  RegisterQuillet();
  return CreateAs<CallsInterface>(kCallsClassName);
}

}  // namespace

Ref<CallsInterface> OpenCalls(const BackendSetup& setup, bool with_backend,
                              bool dry_run) {
  // The store that checked the database serves the first operation: one
  // connection per command. A dry run's store creates, migrates and changes
  // nothing of the database.
  if (!with_backend) return Opened(setup, std::nullopt);
  return Opened(setup, dry_run ? standins::OpenMode::kAsIs
                               : standins::OpenMode::kForWriting);
}

Ref<CallsInterface> OpenCallsForReads(const BackendSetup& setup) {
  return Opened(setup, standins::OpenMode::kForReading);
}

bool BackendReachable(const BackendSetup& setup) {
  try {
    standins::BackendStore store(BackendOf(setup), setup.db,
                                 standins::BackendStore::Open::kForReading);
    return true;
  } catch (const Error&) {
    return false;
  }
}

void SetStoresPerDatabase(const BackendSetup& setup, size_t limit) {
  BackendOf(setup).Stores().SetLimit(limit);
}

void StopWaitingForDatabases(const BackendSetup& setup) {
  standins::StopWaiting(BackendOf(setup));
}

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

bool FailureWatch::ReadOnly() const {
  return listening_->scope.context()->ReadOnly();
}

bool IsServerAddress(const std::string& db) {
  return standins::IsPostgresUri(db);
}

namespace {

// A refused string with '=' in it is most likely a mistyped connection
// string, whose password may be under a mistyped keyword: only its
// keywords are shown, read as libpq reads them ('quoted values' with
// spaces and backslash escapes), never a value.
std::string KeywordsOnly(const std::string& text) {
  std::string shown;
  size_t i = 0;
  auto space = [&] {
    return std::isspace(static_cast<unsigned char>(text[i]));
  };
  while (i < text.size()) {
    while (i < text.size() && space()) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != '=' && !space()) ++i;
    std::string keyword = text.substr(start, i - start);
    while (i < text.size() && space()) ++i;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && space()) ++i;
      bool quoted = i < text.size() && text[i] == '\'';
      if (quoted) ++i;
      for (; i < text.size(); ++i) {
        if (text[i] == '\\')
          ++i;
        else if (quoted ? text[i] == '\'' : space())
          break;
      }
      if (quoted && i < text.size()) ++i;
      keyword += "=...";
    }
    if (!keyword.empty()) shown += (shown.empty() ? "" : " ") + keyword;
  }
  return shown;
}

}  // namespace

void CheckDatabaseAddress(const std::string& db) {
  if (standins::IsPostgresUri(db)) return;
  std::error_code ec;
  if (std::filesystem::exists(db, ec)) return;
  std::filesystem::path folder = std::filesystem::path(db).parent_path();
  if (db.find('=') == std::string::npos &&
      std::filesystem::is_directory(folder.empty() ? "." : folder, ec))
    return;
  throw UsageError(
      "no database '" +
      Excerpt(db.find('=') == std::string::npos ? standins::Displayed(db)
                                                : KeywordsOnly(db),
              200) +
      "': --db takes an existing database file, a new file's name in an "
      "existing folder (without '='), a PostgreSQL URI (postgresql://...) or "
      "a connection string (host=... dbname=...)");
}

std::string DisplayedAddress(const std::string& db) {
  return standins::Displayed(db);
}

}  // namespace quillet::operations
