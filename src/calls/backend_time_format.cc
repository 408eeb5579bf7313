#include <string>

#include "calls/calls_impl.h"
#include "quillet/convert.h"
#include "quillet/error.h"

namespace quillet {
namespace {

String Digits(int32_t n) {
  std::string s = std::to_string(n);
  return String(s.begin(), s.end());
}

Variant TimeFormat(const Variant& minutes) {
  if (minutes.IsNull()) RaiseRuntime(errors::kInvalidUseOfNull);
  if (ToDouble(minutes) <= 0) return Variant::Integer(0);
  // Both the remainder and the division work on the whole number the value
  // rounds to; the remainder is taken first, so an argument beyond the Long
  // range overflows there.
  int32_t whole = ToLong(minutes);
  int32_t remainder = whole % 60;
  int32_t hours = whole / 60;
  String text = Digits(hours);
  int32_t m = remainder < 0 ? -remainder : remainder;
  text += static_cast<char16_t>(u'0' + m / 10);
  text += static_cast<char16_t>(u'0' + m % 10);
  if (text.size() < 5) text.insert(0, 5 - text.size(), u'0');
  return Variant::Long(ToLong(text));
}

}  // namespace

// No error trap: runtime errors reach the caller unlogged, with the class as
// their source.
Variant Calls::backendTimeFormat(Variant& lValue) {
  Ref<_Calls> self(this);
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
