// What the embedded back end's storage holds and how it fails, below the
// rules that use it (backend_store.h): the values a storage engine stores
// and returns, the questions a listing asks of it, and the marks of a
// Quillet database. Engines know these types and nothing of the rules.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/listing_queries.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/variant.h"

namespace quillet::standins {

// Defined once for both sides of the seam (quillet/listing_queries.h).
using quillet::BatchRun;
using quillet::CallQuery;
using quillet::ItemQuery;

inline constexpr int32_t kBackendError = -2147467259;  // 0x80004005
inline constexpr int32_t kApplicationId = 0x514C4C54;  // "QLLT"
inline constexpr int32_t kSchemaVersion = 9;
// The Unix time of 2000-01-01T00:00:00Z, where transaction times count from.
inline constexpr int64_t kTimeEpoch = 946684800;

// One property value as stored: its type (String, Byte, Integer, Long,
// Boolean) and its value (text for strings, number otherwise). The type is
// stored as its name, TypeName's spelling.
struct StoredValue {
  VarType type = VarType::String;
  std::string text;
  int64_t number = 0;
  friend bool operator==(const StoredValue&, const StoredValue&) = default;
};

// The type a stored type name spells, or nothing for a name no stored value
// has.
inline std::optional<VarType> StoredTypeNamed(std::string_view name) {
  for (VarType type : {VarType::String, VarType::Boolean, VarType::Byte,
                       VarType::Integer, VarType::Long, VarType::Double})
    if (TypeName(type) == name) return type;
  return std::nullopt;
}

// What the operator sees of the store at a glance.
struct StoreFacts {
  int64_t schema_version = 0;
  int64_t calls = 0, items = 0, request_keys = 0;
  std::optional<int64_t> oldest_key;  // when it was made, Unix time
};

// A request key as listed: the key, the kind of request, when it was made
// (Unix time).
struct KeyListing {
  std::string key, kind;
  int64_t created_at = 0;
};

// One entry of the event log: a write carried out (or a refusal recorded),
// stored in the write's own transaction. The engine assigns `position`
// (strictly increasing, never reused) and `at` (Unix seconds by the
// database's clock); the rules fill in the rest.
struct EventRecord {
  int64_t position = 0;
  int64_t at = 0;
  std::string actor, channel;     // who, and through what ("service", ...)
  std::string operation;          // "create-call", "update-call", ...
  std::optional<int64_t> option;  // UpdateCall's option, if any
  std::string call, item;         // the call number or the serial, or ""
  std::string request_key;
  bool dry_run = false;
  bool done = false;
  std::string outcome;  // in words: "created", "refused: ..."
  std::string changes;  // a JSON object
  friend bool operator==(const EventRecord&, const EventRecord&) = default;
};

// Which events to read: those after `after` (or, newest first, before
// `before`), up to `limit`, of one call, item or operation when given.
struct EventFilter {
  int64_t after = 0;
  int64_t limit = 100;
  std::string call, item, operation;
  bool newest_first = false;
  std::optional<int64_t> before;
};

// How far one webhook endpoint has been sent the event log, kept in the
// database so that a restarted service, or another host, carries on.
// `endpoint` is the endpoint's identity (a hash of its URL, never of its
// secret); `url` the URL as shown (scheme://host:port/path).
struct WebhookProgress {
  std::string endpoint, url;
  int64_t delivered = 0;  // the last position acknowledged or given up
  int64_t given_up = 0;   // events given up after a day of failures
  int64_t attempts = 0;   // failed attempts at the event after `delivered`
  std::string last_failure;
  int64_t updated = 0;  // Unix seconds, by the database's clock
  friend bool operator==(const WebhookProgress&,
                         const WebhookProgress&) = default;
};

// True for a PostgreSQL connection URI (postgresql://, postgres://) or
// connection string in libpq's key=value form ("host=... dbname=...").
bool IsPostgresUri(const std::string& where);
// `where` as it may be shown: a password in it (a URI's, a connection
// string's, or one of either mistyped) as "***".
std::string Displayed(const std::string& where);

// What a failure of the back end means for the caller, beyond its message;
// the object context of the request is told it (object_context.h).
enum class FailureKind : uint8_t {
  kNone,            // nothing more than the message says
  kRetryLater,      // the database was busy or away: nothing was written,
                    // and the same request may succeed later
  kOutcomeUnknown,  // the connection was lost after the commit was sent and
                    // what became of it could not be found out: it may or
                    // may not have been written
  kDiskFull,        // kRetryLater, because the disk holding the database is
                    // full
  kReadOnly,        // the database may be read, not written, here (a
                    // read-only file system, another user's file)
  kNotPermitted,    // the database refused the write: the role it was
                    // made as lacks a permission (PostgreSQL's 42501).
                    // Nothing was written, and retrying will not help
                    // until an operator grants it
};
// Whether `kind` says that the same request may succeed later.
inline bool RetryLater(FailureKind kind) {
  return kind == FailureKind::kRetryLater || kind == FailureKind::kDiskFull;
}
// A thread's writes to one database held together in one transaction
// (BackendStore::HoldWrites): until Commit, every write the thread makes
// there is a savepoint of it, and the thread's reads see them. Ending
// without Commit rolls them all back.
class WriteHold {
 public:
  virtual ~WriteHold() = default;
  // Commits the writes held: raises kBackendError when they could not be,
  // nothing of them stored then, or FailureKind::kOutcomeUnknown when
  // whether they were is not known.
  virtual void Commit() = 0;
  // Whether a failed write has undone every write held (a full disk, say):
  // the writes after it and Commit are then refused.
  virtual bool Undone() const = 0;
};

}  // namespace quillet::standins
