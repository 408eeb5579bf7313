// The embedded back end's store: opening it on the engine its address
// names, the clock's transaction times, batch runs and what the operator
// sees. The rules themselves are in call_rules.cc, item_rules.cc,
// request_keys.cc, master_data.cc and listings.cc.
#include "quillet/standins/backend_store.h"

#include <climits>
#include <ctime>
#include <utility>
#include <vector>

#include "backend_failure.h"
#include "quillet/standins/backend_context.h"
#include "rules_shared.h"
#include "runtime/mutex.h"
#include "storage_engine.h"

namespace quillet::standins {

int64_t StorableTransactionTime(int64_t unix_seconds) {
  int64_t time = TransactionTimeAt(unix_seconds);
  if (time < INT32_MIN || time > INT32_MAX) {
    char when[32] = "an unknown date";
    std::tm tm{};
    auto t = static_cast<time_t>(unix_seconds);
    if (gmtime_r(&t, &tm))
      std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    RaiseBackend(std::string("the clock says ") + when +
                 ", which a transaction time (seconds since 2000 in a 32-bit "
                 "Long, 1931-12-13 to 2068-01-19) cannot hold; nothing was "
                 "stored");
  }
  return time;
}

void StorageOpeners::Register(const std::string& prefix, StorageOpener opener) {
  MutexLock lock(mutex_);
  by_prefix_.emplace_back(prefix, std::move(opener));
}

StorageOpener StorageOpeners::For(const std::string& where) {
  StorageOpener opener;
  MutexLock lock(mutex_);
  for (const auto& [prefix, registered] : by_prefix_)
    if (where.rfind(prefix, 0) == 0) opener = registered;
  return opener;
}

void RegisterStorageEngine(const std::string& prefix, StorageOpener opener) {
  BackendContext::Default().Openers().Register(prefix, std::move(opener));
}

namespace {

std::unique_ptr<StorageEngine> OpenStorage(BackendContext& context,
                                           const std::string& where,
                                           OpenMode open) {
  if (StorageOpener opener = context.Openers().For(where))
    return opener(where, open);
  // An engine a host registered for the process serves every context.
  BackendContext& process = BackendContext::Default();
  if (&context != &process)
    if (StorageOpener opener = process.Openers().For(where))
      return opener(where, open);
  return IsPostgresUri(where)
             ? OpenPostgresStorage(where, open)
             : OpenSqliteStorage(where, open, context.Groups());
}

}  // namespace

BackendStore::BackendStore(const std::string& where, Open open)
    : BackendStore(BackendContext::Default(), where, open) {}

BackendStore::BackendStore(BackendContext& context, const std::string& where,
                           Open open)
    : BackendStore(OpenStorage(context, where, open)) {}

BackendStore::BackendStore(std::unique_ptr<StorageEngine> engine)
    : engine_(std::move(engine)) {}

BackendStore::~BackendStore() = default;

std::optional<BatchRun> BackendStore::StandingBatchRun(
    const std::string& file_name, const std::string& identity) {
  return engine_->StandingBatchRun(file_name, identity);
}

void BackendStore::RecordBatchRun(const BatchRun& run, bool set_aside_others) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  engine_->WriteTransaction(
      [&] {
        if (set_aside_others)
          engine_->SetAsideBatchRuns(run.file_name, run.identity);
        engine_->PutBatchRun(run, now);
      },
      EndingFor(dry_run_));
}

std::unique_ptr<WriteHold> BackendStore::HoldWrites() {
  return engine_->HoldWrites();
}

void BackendStore::CheckWritable() { engine_->CheckWritable(); }
bool BackendStore::Replaced() { return engine_->Replaced(); }

StoreFacts BackendStore::Facts() {
  StoreFacts facts;
  engine_->ReadTransaction([&] { facts = engine_->Facts(); });
  facts.schema_version = kSchemaVersion;  // opening made sure of it
  return facts;
}

std::optional<ServerState> BackendStore::Server() {
  std::optional<ServerState> state;
  engine_->ReadTransaction([&] { state = engine_->Server(); });
  return state;
}

}  // namespace quillet::standins
