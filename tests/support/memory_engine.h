// Storage engines for testing the back end's rules without a database: an
// in-memory engine, and a wrapper that makes any engine fail at a chosen
// statement in the ways a real database fails.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "storage_engine.h"

namespace quillet::testing {

// A fresh, empty in-memory database: its address ("memory:N"), which any
// store of this process opens (backend_store.h). The first call makes the
// "memory:" addresses the in-memory engine's.
std::string NewMemoryDatabase();
// An engine on the in-memory database at `address`, for a store made on it
// (BackendStore's constructor that takes an engine).
std::unique_ptr<standins::StorageEngine> OpenMemoryDatabase(
    const std::string& address);
// Everything the database at `address` holds, as text, a table at a time
// ("table calls" and its rows, ...): equal for equal contents.
std::string DumpMemoryDatabase(const std::string& address);
// Moves the database's clock (by which request keys expire) by `seconds`.
void AdvanceMemoryClock(const std::string& address, int64_t seconds);

// How a statement fails.
enum class Fault {
  kError,           // the statement fails: the transaction is rolled back
  kConflict,        // a serialisation failure: rolled back and run again
  kLostConnection,  // the connection drops before the commit: run again
  kLostCommit,      // the commit is made but its answer is lost
};

// `inner`, but its `nth` statement (every call on the engine counts, from
// 1, across transactions) fails as `fault` says, once. A transaction run
// again is run at most three times in all, as an engine bounds it.
std::unique_ptr<standins::StorageEngine> FailingAt(
    std::unique_ptr<standins::StorageEngine> inner, int64_t nth, Fault fault);

}  // namespace quillet::testing
