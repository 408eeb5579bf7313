// Where the command and the HTTP service keep their data, and how they set
// up the embedded back end, the log and Quillet over it.
#pragma once

#include <cstdint>
#include <string>

#include "quillet/calls.h"

namespace quillet::cli {

struct BackendSetup {
  std::string db = "quillet.db";  // a SQLite file or a PostgreSQL URI
  std::string log;                // empty: LogPath() decides
  int64_t keep_keys_days = 7;

  // The log: as given, else quillet.log beside a database file, or in the
  // current folder for a server database.
  std::string LogPath() const;
};

// Registers the embedded back end and the file log (after opening the
// database for writing, which creates or migrates its schema and refuses a
// database that is not Quillet's before anything is written) when
// `with_backend`, and Quillet; answers a new Calls. For a dry run the
// database must exist and be up to date: it is neither created nor
// migrated. Raises the back end's error when the database cannot be used.
Ref<CallsInterface> OpenCalls(const BackendSetup& setup, bool with_backend,
                              bool dry_run = false);

}  // namespace quillet::cli
