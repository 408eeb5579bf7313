// The embedded back end's active objects: the service call manager, the
// adapter session it is added to, the serialized-item manager and the
// question component, each working on the store at one address (a SQLite
// file path or a PostgreSQL URI) borrowed from a back-end context's pool.
#pragma once

#include <cstdint>
#include <string>

#include "quillet/class_registry.h"
#include "quillet/standins/backend_context.h"

namespace quillet::standins::embedded {

ClassFactory CallManagerFactory(BackendContext& context,
                                const std::string& where,
                                int64_t key_retention);
ClassFactory SessionFactory();
ClassFactory ItemManagerFactory(BackendContext& context,
                                const std::string& where,
                                int64_t key_retention);
ClassFactory QuestionFactory(BackendContext& context, const std::string& where);

}  // namespace quillet::standins::embedded
