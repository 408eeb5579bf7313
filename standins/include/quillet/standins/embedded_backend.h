// The embedded back end: the stand-in of the outside adapter library, on
// SQLite or PostgreSQL. What a host needs to register and configure it; the
// rest of it stays inside libquillet_standins.
//
// RegisterEmbeddedBackend() registers a real implementation of every class
// that Quillet creates by name (adapter.h): the typed adapter classes, the
// adapter session, the serialized-item manager and the service-request
// component "Pellworth.Question", all working on one database file.
//
// Behaviour, as a back end:
// - SubmitNewCalls stores each record (every property that was set, the
//   texts' pieces in order) and answers it as stored: call number "SC" and
//   the call's sequence number in at least six digits, a last transaction
//   time (seconds since 2000-01-01 UTC), and Contract /
//   WarrantyFlag /
//   Warranty / WarrantyDescription / WarrantyExpiryDate from the service
//   object's master data. An unknown business partner or service object is
//   stored with a message; a record without a sold-to business partner is
//   refused with a message and answered as an empty record.
// - SubmitChangedCalls applies the properties that were set to the call
//   named by CallNumber, appends texts whose TextMode is "a" (others replace
//   the stored text), and answers the call as stored with ChangedFlag 1.
//   Status 30 completes the call and gives it a service order ("SO" and six
//   digits, HasServiceOrder). It answers Nothing when nothing would change
//   (every value equal to the stored one and no text). An unknown call
//   number, or a change to a completed call, is refused with a message
//   (a completed call is answered as stored, with ChangedFlag 0).
// - "CreateSerializedItem" / "ChangeSerializedItem" read column 0 as field
//   names and column 1 as values; SERIALNUMBER is required (and ITEM on
//   create); a duplicate on create, an unknown item on change or a missing
//   field is answered by writing the refusal into the third argument.
// - GetEngineerTime answers the minutes recorded for the question, else 0.
// - A manager must be added to a session and initialised before it submits.
// - Under a request key in the object context (object_context.h), a submit
//   or item change already carried out under that key is answered as it was
//   the first time, writes nothing, and calls the context's NoteReplayed();
//   the same key with a different request is refused with a message (calls)
//   or the error text (items).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quillet/export.h"

namespace quillet::standins {

// How long a request key is kept unless its store says otherwise.
inline constexpr int64_t kDefaultKeyRetentionSeconds = 7 * 24 * 3600;

// How a database is opened.
enum class OpenMode {
  // Creates the file and its schema when absent, brings an older Quillet
  // database up to date.
  kForWriting,
  // Creates and changes nothing: a missing, empty or out-of-date database
  // is refused.
  kForReading,
  // Writes to the database as it is: refuses what kForReading refuses, and
  // creates, migrates and changes no setting (its journal mode). For a dry
  // run, whose writes are rolled back, and for upkeep that must not make a
  // database where none is.
  kAsIs,
};

struct EmbeddedBackendOptions {
  // How long the request keys written are kept before they expire.
  int64_t key_retention_seconds = kDefaultKeyRetentionSeconds;
  // How the database is checked when registering: kForWriting creates it or
  // brings it up to date; kAsIs and kForReading change nothing and
  // refuse a missing or out-of-date database. A dry run's operations take
  // their store as kAsIs whatever was registered.
  OpenMode open = OpenMode::kForWriting;
};

// Checks the database at `db_path` (a SQLite file path, or a PostgreSQL URI
// "postgresql://..." or "postgres://...") as `options.open` says, raising
// the back end's error (number 0x80004005) with nothing registered when it
// cannot be used; then replaces any earlier registration of the same class
// names. A store opened for writing or as it is stays open in the process
// for the first operation.
//
// A host's back end, registered here with no context, serves from the
// process's one set of stores, SQLite write groups, storage engines and
// counts (made at the first use, gone at exit), and SetStoreLimit and
// StopWaiting below act on it: a contract for hosts. Quillet's own command
// and service each make a context of their own at their start instead.
QUILLET_API void RegisterEmbeddedBackend(
    const std::string& db_path, const EmbeddedBackendOptions& options = {});

// The process's open stores (connections) are shared by every thread and
// handed from one use to the next; a use that finds all of a database's
// stores busy waits for one, then fails as busy with nothing written.
inline constexpr size_t kDefaultStoreLimit = 8;
// How many stores per database may be open at once (at least 1).
QUILLET_API void SetStoreLimit(size_t limit);
// For a process that is stopping: every store stops waiting on its
// database, and no use waits for a store any more (both fail as busy,
// nothing written). On PostgreSQL a statement running is cancelled, a
// COMMIT sent is looked up once, and a wait for the server to come back
// (opening a store included) ends.
QUILLET_API void StopWaiting();

}  // namespace quillet::standins
