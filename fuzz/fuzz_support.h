// Helpers shared by the fuzz targets: values of every variant type from the
// fuzzer's bytes.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "quillet/dictionary.h"
#include "quillet/safe_array.h"

namespace quillet::fuzz {

inline String Text(FuzzedDataProvider& in, size_t max = 64) {
  size_t n = in.ConsumeIntegralInRange<size_t>(0, max);
  String s;
  for (size_t i = 0; i < n && in.remaining_bytes() >= 2; ++i)
    s += static_cast<char16_t>(in.ConsumeIntegral<uint16_t>());
  return s;
}

// Texts that look like numbers more often than random bytes would.
inline String NumberLike(FuzzedDataProvider& in) {
  static const char16_t* const kPieces[] = {
      u"0", u"1", u"9", u"-",          u"+",     u".",  u",",
      u"e", u"E", u"D", u"&H",         u"&O",    u"(",  u")",
      u" ", u"F", u"7", u"2147483647", u"32768", u"255"};
  String s;
  size_t n = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < n; ++i)
    s += kPieces[in.ConsumeIntegralInRange<size_t>(0, std::size(kPieces) - 1)];
  return s;
}

inline Variant Value(FuzzedDataProvider& in, int depth = 0) {
  switch (in.ConsumeIntegralInRange<int>(0, depth < 2 ? 11 : 9)) {
    case 0:
      return Variant();
    case 1:
      return kNull;
    case 2:
      return in.ConsumeBool();
    case 3:
      return Variant::Byte(in.ConsumeIntegral<uint8_t>());
    case 4:
      return Variant::Integer(in.ConsumeIntegral<int16_t>());
    case 5:
      return Variant::Long(in.ConsumeIntegral<int32_t>());
    case 6:
      return in.ConsumeFloatingPoint<double>();
    case 7:
      return Text(in);
    case 8:
      return NumberLike(in);
    case 9:
      return Ref<Object>();
    case 10: {
      int32_t rows = in.ConsumeIntegralInRange<int32_t>(0, 4);
      int32_t cols = in.ConsumeIntegralInRange<int32_t>(0, 4);
      SafeArray a(
          ElementType::Variant,
          {{in.ConsumeIntegralInRange<int32_t>(-1, 1), rows}, {0, cols}});
      for (int32_t r = 0; r < rows; ++r)
        for (int32_t c = 0; c < cols; ++c)
          a.Set({a.LowerBound(1) + r, c}, Value(in, depth + 1));
      return a;
    }
    default: {
      Ref<Dictionary> d = MakeRef<Dictionary>();
      d->SetItem(Text(in, 8), Value(in, depth + 1));
      return Variant(d);
    }
  }
}

}  // namespace quillet::fuzz
