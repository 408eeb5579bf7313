// What `calls --changed-since` takes.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::cli {

// "2026-12-01", "20261201", "2026-12-01T08:30:00Z" (UTC) or a transaction
// time as it is stored (seconds since 2000; any number of digits but eight,
// which is a date). A day that the month does not have is refused.
// Answers it as a stored last transaction time; raises UsageError for
// anything else.
int64_t TransactionTimeFrom(const std::string& text);

}  // namespace quillet::cli
