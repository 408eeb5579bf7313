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
  auto add = [](StringView name, ClassFactory f) {
    RegisterClass(name, std::move(f), {.replace_existing = true});
  };
  add(adapter::kServiceCallManagerClass,
      embedded::CallManagerFactory(db_path, retention));
  add(adapter::kServiceCallRecordClass, FactoryOf<embedded::Record>());
  add(adapter::kServiceCallListClass, FactoryOf<embedded::List>());
  add(adapter::kCreateCallResponseClass,
      FactoryOf<embedded::Response<adapter::CreateCallResponse>>());
  add(adapter::kUpdateCallResponseClass,
      FactoryOf<embedded::Response<adapter::UpdateCallResponse>>());
  add(adapter::kCallTextClass, FactoryOf<embedded::CallTextImpl>());
  add(adapter::kSolutionTextClass, FactoryOf<embedded::SolutionTextImpl>());
  add(adapter::kUserSessionClass, embedded::SessionFactory());
  add(adapter::kSerializedItemManagerClass,
      embedded::ItemManagerFactory(db_path, retention));
  add(adapter::kQuestionClass, embedded::QuestionFactory(db_path));
}

}  // namespace quillet::standins
