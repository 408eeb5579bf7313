// The embedded back end's active objects: the service call manager, the
// adapter session it is added to, the serialized-item manager and the
// question component, each working on the store at one address (a SQLite
// file path or a PostgreSQL URI) borrowed from the process's pool.
#pragma once

#include <cstdint>
#include <string>

#include "quillet/class_registry.h"

namespace quillet::standins::embedded {

ClassFactory CallManagerFactory(const std::string& where,
                                int64_t key_retention);
ClassFactory SessionFactory();
ClassFactory ItemManagerFactory(const std::string& where,
                                int64_t key_retention);
ClassFactory QuestionFactory(const std::string& where);

}  // namespace quillet::standins::embedded
