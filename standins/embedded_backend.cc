// Registration of the embedded back end: every class Quillet creates by
// name (adapter.h), implemented by the value objects (embedded_values.h) and
// the managers (embedded_managers.h).
#include "quillet/standins/embedded_backend.h"

#include "embedded_managers.h"
#include "embedded_values.h"
#include "quillet/class_registry.h"
#include "quillet/standins/backend_context.h"
#include "quillet/standins/store_pool.h"

namespace quillet::standins {

void RegisterEmbeddedBackend(const std::string& db_path,
                             const EmbeddedBackendOptions& options) {
  RegisterEmbeddedBackend(BackendContext::Default(), db_path, options);
}

void RegisterEmbeddedBackend(BackendContext& context,
                             const std::string& db_path,
                             const EmbeddedBackendOptions& options) {
  // The store that checked the database serves the first operation: one
  // connection per command. A check for reading makes and migrates nothing.
  { BorrowedStore check(context, db_path, options.open); }
  int64_t retention = options.key_retention_seconds;
  adapter::AdapterFactories classes =
      adapter::ValueClasses<embedded::Record, embedded::List,
                            embedded::Response, embedded::Text>();
  classes.service_call_manager =
      embedded::CallManagerFactory(context, db_path, retention);
  classes.user_session = embedded::SessionFactory();
  classes.serialized_item_manager =
      embedded::ItemManagerFactory(context, db_path, retention);
  classes.question = embedded::QuestionFactory(context, db_path);
  adapter::RegisterAdapter(classes, {.replace_existing = true});
}

}  // namespace quillet::standins
