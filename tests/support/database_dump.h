// Everything a database holds, as text: every table of the public schema
// (SQLite: every table, with SQLite's own sequence table) with its rows in
// a fixed order. Two dumps are equal when the databases hold the same data.
#pragma once

#include <string>

namespace quillet::testing {

// `db`: a SQLite file, a postgresql:// URI or an in-memory database
// (memory_engine.h).
std::string DumpDatabase(const std::string& db);

}  // namespace quillet::testing
