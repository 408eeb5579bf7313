// Where the command and the HTTP service keep their data, and how they set
// up the embedded back end, the log and Quillet over it. Every store the
// operation layer uses, for writes and reads alike, comes from the pool of
// the setup's context (context.h), which the front end made at its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quillet/calls.h"
#include "quillet/operations/context.h"

namespace quillet::operations {

struct BackendSetup {
  std::string db = "quillet.db";  // a SQLite file or a PostgreSQL URI
  std::string log;                // empty: LogPath() decides
  int64_t keep_keys_days = 7;
  int64_t keep_events_days = 90;  // the event log's (events.h)
  // The front end's context (context.h), which outlives the setup. Every
  // function taking a setup needs one: std::logic_error without.
  Context* context = nullptr;

  // The log: as given, else quillet.log beside a database file, or in the
  // current folder for a server database.
  std::string LogPath() const;
};

// Registers the embedded back end and the file log (after opening the
// database for writing, which creates or migrates its schema and refuses a
// database that is not Quillet's before anything is written) when
// `with_backend`, and Quillet; answers a new Calls. For a dry run the
// database must exist and be up to date: it is neither created nor
// migrated. The store that checked the database stays in the pool and
// serves the first operation. Raises the back end's error when the database
// cannot be used.
Ref<CallsInterface> OpenCalls(const BackendSetup& setup, bool with_backend,
                              bool dry_run = false);
// The same over a database checked for reading only, for a service that
// answers reads of one it cannot write (read-only here): its writes are
// refused as the back end's.
Ref<CallsInterface> OpenCallsForReads(const BackendSetup& setup);

// Whether the database can be opened for reading now. It opens a new
// connection rather than taking an idle one from the pool: it is asked after
// a failure, to tell a back end that is away from a refused request.
bool BackendReachable(const BackendSetup& setup);

// How many stores per database the setup's pool keeps open at once (at
// least 1).
void SetStoresPerDatabase(const BackendSetup& setup, size_t limit);

// For a process that is stopping: every store of the setup's context stops
// waiting on its database (a statement running on a server is cancelled: the
// operation fails as busy, nothing written; a COMMIT sent is looked up once).
void StopWaitingForDatabases(const BackendSetup& setup);

// For the life of the watch, what the back end says of a failure on the
// calling thread outside an operation (opening a database, loading master
// data, recording a batch run): it enters an object context of its own,
// which the back end tells (an operation run meanwhile has its own).
//
//   operations::FailureWatch watch;
//   try { ... } catch (const Error& e) { if (watch.RetryLater()) ... }
class FailureWatch {
 public:
  FailureWatch();
  ~FailureWatch();
  FailureWatch(const FailureWatch&) = delete;
  FailureWatch& operator=(const FailureWatch&) = delete;
  // The last failure: a server that was busy or away (worth trying again).
  bool RetryLater() const;
  // The last failure: a commit whose outcome could not be found out.
  bool OutcomeUnknown() const;
  // The last failure: a database that can be read, not written, here.
  bool ReadOnly() const;

 private:
  struct Listening;
  std::unique_ptr<Listening> listening_;
};

// Whether `db` names a database server (a PostgreSQL URI or key=value
// connection string) rather than a file.
bool IsServerAddress(const std::string& db);

// Refuses (UsageError, naming `db` without its password)
// a `db` that is neither a server address, an existing file, nor a new
// file's path in an existing folder without any "=" (a mistyped connection
// string is never taken for a file name).
void CheckDatabaseAddress(const std::string& db);

// The database's address as messages show it: a URI without its password.
std::string DisplayedAddress(const std::string& db);

}  // namespace quillet::operations
