// Registration of the embedded back end: every class Quillet creates by
// name (adapter.h), implemented by the value objects (embedded_values.h) and
// the managers (embedded_managers.h).
#include "quillet/standins/embedded_backend.h"

#include "embedded_managers.h"
#include "embedded_values.h"
#include "quillet/class_registry.h"
#include "quillet/standins/store_pool.h"

namespace quillet::standins {

void RegisterEmbeddedBackend(const std::string& db_path,
                             const EmbeddedBackendOptions& options) {
  if (options.open == OpenMode::kForReading)
    BackendStore check(db_path, OpenMode::kForReading);
  else
    BorrowedStore check(db_path);
  int64_t retention = options.key_retention_seconds;
  adapter::AdapterFactories classes =
      adapter::ValueClasses<embedded::Record, embedded::List,
                            embedded::Response, embedded::Text>();
  classes.service_call_manager =
      embedded::CallManagerFactory(db_path, retention);
  classes.user_session = embedded::SessionFactory();
  classes.serialized_item_manager =
      embedded::ItemManagerFactory(db_path, retention);
  classes.question = embedded::QuestionFactory(db_path);
  adapter::RegisterAdapter(classes, {.replace_existing = true});
}

}  // namespace quillet::standins
