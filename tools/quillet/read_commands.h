// The reading commands: `calls`, `items` and `log`. Each writes what it
// read to standard output, a table or JSON, and answers the exit status
// (exit_status.h). Each raises UsageError for what cannot be answered (no
// such call or item, a date that is none, a log beside a database that
// does not exist) and the back end's Error when the database cannot be
// read; a reading command never makes or changes a database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "command_options.h"

namespace quillet::cli {

struct ReadOptions {
  std::string number;  // calls: one call
  std::string serial;  // items: one item
  std::string after, sold_to, text, search, changed_since;
  std::optional<int64_t> limit, status;
  std::optional<size_t> tail;  // log: only the last entries
  bool json = false;
};

int RunCalls(const Globals& g, const ReadOptions& o);
int RunItems(const Globals& g, const ReadOptions& o);
// `db_given`: --db was given (or QUILLET_DB set), so the log beside it is
// read only when it names a database.
int RunLog(const Globals& g, bool db_given, const ReadOptions& o);

}  // namespace quillet::cli
