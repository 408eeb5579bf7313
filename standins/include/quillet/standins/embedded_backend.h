// The embedded back end: the stand-in of the outside adapter library, on
// SQLite (backend_store.h).
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
//   time (seconds since 2000-01-01 UTC, backend_store.h), and Contract /
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
//   or the error text (items). See backend_store.h.
#pragma once

#include <cstdint>
#include <string>

#include "quillet/standins/backend_store.h"

namespace quillet::standins {

struct EmbeddedBackendOptions {
  // How long the request keys written are kept before they expire.
  int64_t key_retention_seconds = kDefaultKeyRetentionSeconds;
  // How the database is checked when registering: kForWriting creates it or
  // brings it up to date; kAsIs and kForReading change nothing and
  // refuse a missing or out-of-date database. A dry run's operations take
  // their store as kAsIs whatever was registered.
  OpenMode open = OpenMode::kForWriting;
};

// Checks the database at `db_path` (a SQLite file path or a PostgreSQL URI,
// backend_store.h) as `options.open` says, raising kBackendError with
// nothing registered when it cannot be used; then replaces any earlier
// registration of the same class names. A store opened for writing or as it is
// stays in the process's pool (store_pool.h) for the first operation.
void RegisterEmbeddedBackend(const std::string& db_path,
                             const EmbeddedBackendOptions& options = {});

}  // namespace quillet::standins
