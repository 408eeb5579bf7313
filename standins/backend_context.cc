#include "quillet/standins/backend_context.h"

#include "quillet/standins/store_metrics.h"
#include "quillet/standins/store_pool.h"
#include "sqlite_write_group.h"
#include "storage_engine.h"

namespace quillet::standins {

BackendContext::BackendContext()
    : metrics_(std::make_unique<StoreMetrics>()),
      openers_(std::make_unique<StorageOpeners>()),
      groups_(std::make_unique<WriteGroups>(*metrics_)),
      stores_(std::make_unique<StorePool>(*this)) {}

BackendContext::~BackendContext() = default;

BackendContext& BackendContext::Default() {
  // Gone at exit, as the pool always was: its idle stores are closed then.
  static BackendContext context;
  return context;
}

std::unique_ptr<StorageEngine> OpenSqliteStorage(const std::string& path,
                                                 OpenMode open) {
  return OpenSqliteStorage(path, open, BackendContext::Default().Groups());
}

}  // namespace quillet::standins
