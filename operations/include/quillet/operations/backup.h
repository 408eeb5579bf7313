// The operator's backups of an embedded (SQLite) database: `backend backup`
// copies it while writers go on, `backend restore` puts a backup in its
// place. A PostgreSQL database is backed up with the server's own tools
// (pg_dump and pg_restore): both refuse it, saying so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "quillet/operations/backend.h"

namespace quillet::operations {

// What a checked backup holds.
struct BackupFacts {
  int64_t schema_version = 0;
  int64_t calls = 0;
  int64_t items = 0;
  int64_t request_keys = 0;
};

// Told the pages copied so far and the pages in all, as a copy goes.
using BackupProgress = std::function<void(int64_t done, int64_t total)>;

// Copies the database into `target` as it stood when the copy began, while
// writers go on: written to a new file beside `target`, checked
// (integrity, Quillet's marks and schema version, calls without a gap),
// then renamed over `target`; on any failure that file is removed and
// `target` is as it was. The caller has refused a `target` that is a file
// the database or the service keeps. Raises UsageError for a PostgreSQL
// database, the back end's Error when the copy fails.
BackupFacts BackupDatabase(const BackendSetup& backend,
                           const std::string& target,
                           const BackupProgress& progress);

struct RestoreResult {
  BackupFacts facts;       // what the database now holds
  std::string kept_aside;  // where the database it replaced is; empty: none
};

// Puts the backup `backup` in place of the database, which no other
// process may have open (refused, changing nothing, when one has): the
// backup is copied beside the database and checked, the database is kept
// under a name of its own (`kept_aside`), and the copy, given the
// database's mode and owner, renamed into its place; at every moment the
// database's name holds either the old database or the whole restored
// one. The backup file itself is only read. Raises UsageError for a
// PostgreSQL database or a backup that is the database itself, the back
// end's Error for a backup that fails its checks.
RestoreResult RestoreDatabase(const BackendSetup& backend,
                              const std::string& backup,
                              const BackupProgress& progress);

}  // namespace quillet::operations
