#include "changed_since.h"

#include <ctime>

#include "quillet/operations/usage_error.h"
#include "quillet/operations/views.h"

namespace quillet::cli {

using operations::UsageError;

int64_t TransactionTimeFrom(const std::string& text) {
  bool digits = !text.empty() &&
                text.find_first_not_of("0123456789") == std::string::npos;
  if (digits && text.size() != 8 && text.size() <= 12) return std::stoll(text);
  std::tm tm{};
  const char* end = nullptr;
  for (const char* format : {"%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%d", "%Y%m%d"}) {
    tm = {};
    end = strptime(text.c_str(), format, &tm);
    if (end && !*end) break;
  }
  std::tm given = tm;
  time_t unix_time = timegm(&tm);
  // timegm rolls 2026-02-31 over into March: such a date is not a date.
  bool real = end && !*end && tm.tm_year == given.tm_year &&
              tm.tm_mon == given.tm_mon && tm.tm_mday == given.tm_mday &&
              tm.tm_hour == given.tm_hour && tm.tm_min == given.tm_min &&
              tm.tm_sec == given.tm_sec;
  if (!real)
    throw UsageError("--changed-since '" + text +
                     "' is not a date (2026-12-01 or 20261201), a UTC time "
                     "(2026-12-01T08:30:00Z) or a stored transaction time");
  return operations::TransactionTimeAt(static_cast<int64_t>(unix_time));
}

}  // namespace quillet::cli
