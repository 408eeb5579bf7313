// How the embedded back end fails: one runtime error number
// (kBackendError), source "Holmfast.Adapter.Boi", and a description that
// names what failed.
#pragma once

#include <string>

#include "quillet/standins/backend_store.h"

struct sqlite3;

namespace quillet::standins {

// Raises, leaving `kind` for TakeFailureKind().
[[noreturn]] void RaiseBackend(const std::string& what,
                               FailureKind kind = FailureKind::kNone);
// `what` and SQLite's own message for the connection's last failure.
[[noreturn]] void RaiseSqlite(sqlite3* db, const std::string& what);

}  // namespace quillet::standins
