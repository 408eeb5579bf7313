#include "backend_failure.h"

#include <sqlite3.h>

#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/text.h"

namespace quillet::standins {
namespace {
thread_local FailureKind last_kind = FailureKind::kNone;
}  // namespace

FailureKind TakeFailureKind() {
  FailureKind kind = last_kind;
  last_kind = FailureKind::kNone;
  return kind;
}

void RaiseBackend(const std::string& what, FailureKind kind) {
  last_kind = kind;
  Raise({.number = kBackendError,
         .source = u"Holmfast.Adapter.Boi",
         .description = u"Embedded back end: " + FromUtf8(what)});
}

void RaiseSqlite(sqlite3* db, const std::string& what) {
  RaiseBackend(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace quillet::standins
