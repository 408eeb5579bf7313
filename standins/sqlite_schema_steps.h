// The SQLite schema as text (sqlite_schema_steps.cc), for PrepareSchema:
// the tables a new file is made with, at kTablesVersion, and the step from
// each version to the next, up to kSchemaVersion.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace quillet::standins::sqlite_steps {

// The page size of a new file.
inline constexpr int kPageSize = 2048;
inline constexpr int64_t kTablesVersion = 3;
extern const char* const kTables;
// Tables an earlier release made without marking the file as Quillet's.
extern const std::set<std::string> kUnmarkedTables;
// kMigrations[v]: from version v to v + 1.
extern const std::vector<std::string> kMigrations;
// The search index is filled this many calls at a time on migration.
inline constexpr int64_t kSearchFillBatch = 2000;

}  // namespace quillet::standins::sqlite_steps
