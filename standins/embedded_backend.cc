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
  using adapter::CreateCallResponse, adapter::UpdateCallResponse;
  adapter::RegisterAdapter(
      {.service_call_manager = embedded::CallManagerFactory(db_path, retention),
       .service_call_record = FactoryOf<embedded::Record>(),
       .service_call_list = FactoryOf<embedded::List>(),
       .create_call_response =
           FactoryOf<embedded::Response<CreateCallResponse>>(),
       .update_call_response =
           FactoryOf<embedded::Response<UpdateCallResponse>>(),
       .call_text = FactoryOf<embedded::CallTextImpl>(),
       .solution_text = FactoryOf<embedded::SolutionTextImpl>(),
       .user_session = embedded::SessionFactory(),
       .serialized_item_manager =
           embedded::ItemManagerFactory(db_path, retention),
       .question = embedded::QuestionFactory(db_path)},
      {.replace_existing = true});
}

}  // namespace quillet::standins
