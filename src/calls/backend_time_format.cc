#include <cstdint>

#include "calls/calls_impl.h"
#include "quillet/convert.h"
#include "quillet/error.h"

namespace quillet {
namespace {

Variant TimeFormat(const Variant& minutes) {
  if (minutes.IsNull()) RaiseRuntime(errors::kInvalidUseOfNull);
  if (ToDouble(minutes) <= 0) return Variant::Integer(0);
  // Both the remainder and the division work on the whole number the value
  // rounds to; the remainder is taken first, so an argument beyond the Long
  // range overflows there.
  int32_t whole = ToLong(minutes);
  int32_t remainder = whole % 60;
  int32_t hours = whole / 60;
  // The hours' digits followed by the minutes as two digits, read back as a
  // Long: hours * 100 + minutes, which overflows past 2,147,483,647.
  int64_t number =
      int64_t{hours} * 100 + (remainder < 0 ? -remainder : remainder);
  if (number > INT32_MAX) RaiseRuntime(errors::kOverflow);
  return Variant::Long(static_cast<int32_t>(number));
}

}  // namespace

// No error trap: runtime errors reach the caller unlogged, with the class as
// their source.
Variant Calls::backendTimeFormat(Variant& lValue) {
  Ref<CallsInterface> self(this);
  try {
    return TimeFormat(lValue);
  } catch (const Error& e) {
    if (!e.info().source.empty()) throw;
    ErrorInfo info = e.info();
    info.source = String(kCallsSource);
    Raise(std::move(info));
  }
}

}  // namespace quillet
