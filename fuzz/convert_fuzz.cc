// Conversions and numeric comparison from arbitrary values: they answer or
// raise one of the runtime's errors, and numbers survive printing.
#include <cmath>
#include <cstdlib>

#include "fuzz_support.h"
#include "quillet/convert.h"
#include "quillet/error.h"

using namespace quillet;

namespace {
template <class F>
void Expect(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    int n = e.number();
    if (n != errors::kOverflow && n != errors::kTypeMismatch &&
        n != errors::kInvalidUseOfNull && n != errors::kObjectNotSet &&
        n != errors::kWrongArgCount)
      std::abort();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Variant v = fuzz::Value(in);
  Expect([&] { ToString(v); });
  Expect([&] { ToByte(v); });
  Expect([&] { ToInteger(v); });
  Expect([&] { ToLong(v); });
  Expect([&] { ToDouble(v); });
  Expect([&] { ToBoolean(v); });
  Expect([&] { EqualsNumber(v, in.ConsumeIntegralInRange<int>(0, 10)); });
  Expect([&] { Concat(v, fuzz::Value(in)); });
  double d = in.ConsumeFloatingPoint<double>();
  if (std::isfinite(d)) {
    // Fifteen digits can round the largest doubles past the largest one:
    // reading those back overflows, as on the platform.
    try {
      std::optional<double> back = ParseNumber(FormatDouble(d));
      if (!back) std::abort();
      if (std::abs(*back - d) > std::abs(d) * 1e-14) std::abort();
    } catch (const Error& e) {
      if (e.number() != errors::kOverflow || std::abs(d) < 1.7976931348623e308)
        std::abort();
    }
  }
  int32_t n = in.ConsumeIntegral<int32_t>();
  if (ToLong(Variant(ToString(Variant::Long(n)))) != n) std::abort();
  return 0;
}
