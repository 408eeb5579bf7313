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
#include <utility>
#include <vector>

#include "quillet/adapter.h"
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
inline constexpr int32_t kSchemaVersion = 10;
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

using adapter::CallProperty;

// A property's name as stored (UTF-8), spelled once: by the record's table
// (adapter::CallProperties).
const std::string& StoredName(CallProperty property);
// The property a stored name spells exactly (case and all), or nothing for
// a name this release does not know.
std::optional<CallProperty> StoredPropertyNamed(std::string_view name);

// Orders properties as their stored names sort, byte by byte: the order in
// which a call's properties have always been stored, digested and shown.
struct InStoredOrder {
  bool operator()(CallProperty a, CallProperty b) const;
};
using StoredProperties = std::map<CallProperty, StoredValue, InStoredOrder>;
// What a stored call holds under names this release does not know (a later
// release's properties): kept by name, so that a call rewritten here keeps
// them and a listing shows them as they are. The rules never read them.
using UnknownProperties = std::map<std::string, StoredValue>;

// Calls visit(name, value) for every property of `known` and `unknown`
// together, in stored-name order.
template <class Visit>
void ForEachStored(const StoredProperties& known,
                   const UnknownProperties& unknown, Visit&& visit) {
  auto other = unknown.begin();
  for (const auto& [property, value] : known) {
    const std::string& name = StoredName(property);
    for (; other != unknown.end() && other->first < name; ++other)
      visit(std::string_view(other->first), other->second);
    visit(std::string_view(name), value);
  }
  for (; other != unknown.end(); ++other)
    visit(std::string_view(other->first), other->second);
}

// The type a stored type name spells, or nothing for a name no stored value
// has.
inline std::optional<VarType> StoredTypeNamed(std::string_view name) {
  for (VarType type : {VarType::String, VarType::Boolean, VarType::Byte,
                       VarType::Integer, VarType::Long, VarType::Double})
    if (TypeName(type) == name) return type;
  return std::nullopt;
}

// How the calls stand, counted on one snapshot, for the desk's dashboard:
// by status (a call without one is status 0), by how long ago each was last
// changed (before `now`: under a day, 1 to 3 days, 3 to 7 days, 7 days or
// more; a change stamped after `now` is under a day), and by sold-to
// partner (the partners of the most calls, most first, ties in partner
// order; `other_sold_to` counts the calls of the rest and of none). Each
// group adds up to `calls`.
struct CallTally {
  static constexpr int64_t kAgeBounds[3] = {86400, 3 * 86400, 7 * 86400};
  int64_t calls = 0;
  std::map<int64_t, int64_t> by_status;
  int64_t by_age[4] = {0, 0, 0, 0};
  std::vector<std::pair<std::string, int64_t>> by_sold_to;
  int64_t other_sold_to = 0;
};

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
