// The embedded back end's database: which files are Quillet's, its schema,
// and the steps that bring an older schema up to date.
#pragma once

#include <string>

#include "quillet/standins/store_types.h"

struct sqlite3;

namespace quillet::standins {

// Refuses paths that would lose data or be read as something else: an empty
// path, ":memory:", and "file:" URIs.
void CheckDatabasePath(const std::string& path);

// Checks that the open database is Quillet's and of a schema this build
// knows. For writing it then creates the schema in an empty database, or
// migrates an older one, in one transaction, and marks it. For reading or
// a dry run it refuses an empty or older database. Refusals raise kBackendError
// before anything is written.
void PrepareSchema(sqlite3* db, const std::string& path, OpenMode open);

}  // namespace quillet::standins
