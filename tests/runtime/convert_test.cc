#include "quillet/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <span>

#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

struct LongCase {
  Variant in;
  int32_t out;
  int32_t error;
};

// Runs one conversion over a table: the error it raises, or its value.
template <class Convert>
void CheckTable(std::span<const LongCase> cases, Convert convert) {
  for (const LongCase& c : cases) {
    SCOPED_TRACE(testing::Show(c.in));
    int32_t out = 0;
    EXPECT_EQ(testing::NumberRaisedBy([&] { out = convert(c.in); }), c.error);
    if (c.error == 0) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST(ConvertTest, ToLongFollowsTheRuntime) {
  const LongCase cases[] = {
      {Variant(), 0, 0},
      {Variant(true), -1, 0},
      {Variant::Byte(255), 255, 0},
      {Variant::Integer(-32768), -32768, 0},
      {Variant(2.5), 2, 0},
      {Variant(3.5), 4, 0},
      {Variant(-2.5), -2, 0},
      {Variant(-0.5), 0, 0},
      {Variant(2147483647.0), 2147483647, 0},
      {Variant(2147483647.5), 0, errors::kOverflow},
      {Variant(-2147483648.5), -2147483648, 0},
      {Variant(-2147483649.0), 0, errors::kOverflow},
      {Variant(u"125"), 125, 0},
      {Variant(u"  -42  "), -42, 0},
      {Variant(u"+7"), 7, 0},
      {Variant(u"7-"), -7, 0},
      {Variant(u"(8)"), -8, 0},
      {Variant(u"1,000"), 1000, 0},
      {Variant(u"12.5"), 12, 0},
      {Variant(u"13.5"), 14, 0},
      {Variant(u"1e3"), 1000, 0},
      {Variant(u"1.5D2"), 150, 0},
      {Variant(u"&H10"), 16, 0},
      {Variant(u"&HFFFF"), -1, 0},
      {Variant(u"&H10000"), 65536, 0},
      {Variant(u"&HFFFFFFFF"), -1, 0},
      {Variant(u"&H100000000"), 0, errors::kOverflow},
      {Variant(u"&O17"), 15, 0},
      {Variant(u"$12"), 12, 0},
      {Variant(u" -$1,000 "), -1000, 0},
      {Variant(u"(12$)"), -12, 0},
      {Variant(u"$"), 0, errors::kTypeMismatch},
      {Variant(u"$1$"), 0, errors::kTypeMismatch},
      {Variant(u"2147483648"), 0, errors::kOverflow},
      {Variant(u"1e400"), 0, errors::kOverflow},
      {Variant(u""), 0, errors::kTypeMismatch},
      {Variant(u"   "), 0, errors::kTypeMismatch},
      {Variant(u"abc"), 0, errors::kTypeMismatch},
      {Variant(u"12abc"), 0, errors::kTypeMismatch},
      {Variant(u"1e"), 0, errors::kTypeMismatch},
      {Variant(u"."), 0, errors::kTypeMismatch},
      {Variant(u"&H"), 0, errors::kTypeMismatch},
      {Variant(u"&HG"), 0, errors::kTypeMismatch},
      {Variant(u"--1"), 0, errors::kTypeMismatch},
      {Variant(kNull), 0, errors::kInvalidUseOfNull},
      {Variant(Ref<Object>()), 0, errors::kObjectNotSet},
      {Variant(SafeArray(ElementType::Variant, {{0, 1}})), 0,
       errors::kTypeMismatch},
  };
  CheckTable(cases, [](const Variant& v) { return int32_t{ToLong(v)}; });
}

TEST(ConvertTest, ToByteRangeAndBoolean) {
  const LongCase cases[] = {
      {Variant(0), 0, 0},
      {Variant(255), 255, 0},
      {Variant(256), 0, errors::kOverflow},
      {Variant(-1), 0, errors::kOverflow},
      {Variant(-0.5), 0, 0},
      {Variant(255.5), 0, errors::kOverflow},
      {Variant(254.5), 254, 0},
      {Variant(true), 255, 0},
      {Variant(false), 0, 0},
      {Variant(u"40"), 40, 0},
      {Variant(u"x"), 0, errors::kTypeMismatch},
      {Variant(), 0, 0},
      {Variant(kNull), 0, errors::kInvalidUseOfNull},
  };
  CheckTable(cases, [](const Variant& v) { return int32_t{ToByte(v)}; });
}

TEST(ConvertTest, ToIntegerRange) {
  const LongCase cases[] = {
      {Variant(32767), 32767, 0},
      {Variant(32768), 0, errors::kOverflow},
      {Variant(-32768), -32768, 0},
      {Variant(-32769), 0, errors::kOverflow},
      {Variant(32767.5), 0, errors::kOverflow},
      {Variant(u"&HFFFF"), -1, 0},
      {Variant(u"&H10000"), 0, errors::kOverflow},
  };
  CheckTable(cases, [](const Variant& v) { return int32_t{ToInteger(v)}; });
}

struct TextCase {
  Variant in;
  std::u16string out;
  int32_t error;
};

TEST(ConvertTest, ToStringPrintsAsTheRuntime) {
  const TextCase cases[] = {
      {Variant(), u"", 0},
      {Variant(true), u"True", 0},
      {Variant(false), u"False", 0},
      {Variant::Byte(40), u"40", 0},
      {Variant::Integer(-5), u"-5", 0},
      {Variant(-2147483647 - 1), u"-2147483648", 0},
      {Variant(0.5), u"0.5", 0},
      {Variant(-0.0), u"0", 0},
      {Variant(1.0 / 3), u"0.333333333333333", 0},
      {Variant(123456789012345.0), u"123456789012345", 0},
      {Variant(1e15), u"1E+15", 0},
      {Variant(1.5e-5), u"1.5E-05", 0},
      {Variant(0.0001), u"0.0001", 0},
      {Variant(89.5), u"89.5", 0},
      {Variant(u"as is "), u"as is ", 0},
      {Variant(kNull), u"", errors::kInvalidUseOfNull},
      {Variant(SafeArray(ElementType::String, {{0, 1}})), u"",
       errors::kTypeMismatch},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(testing::Show(c.in));
    std::u16string out;
    EXPECT_EQ(testing::NumberRaisedBy([&] { out = ToString(c.in); }), c.error);
    if (c.error == 0) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST(ConvertTest, ToBooleanAndToDouble) {
  EXPECT_TRUE(ToBoolean(Variant(u"true")));
  EXPECT_FALSE(ToBoolean(Variant(u" FALSE ")));
  EXPECT_TRUE(ToBoolean(Variant(u"2")));
  EXPECT_TRUE(ToBoolean(Variant(u" #TRUE# ")));
  EXPECT_FALSE(ToBoolean(Variant(u"#false#")));
  EXPECT_RAISES(ToBoolean(Variant(u"#yes#")), errors::kTypeMismatch);
  EXPECT_FALSE(ToBoolean(Variant()));
  EXPECT_TRUE(ToBoolean(Variant(0.1)));
  EXPECT_RAISES(ToBoolean(Variant(u"yes")), errors::kTypeMismatch);
  EXPECT_RAISES(ToBoolean(Variant(kNull)), errors::kInvalidUseOfNull);
  EXPECT_EQ(ToDouble(Variant(u"1,234.5e1")), 12345.0);
  EXPECT_EQ(ToDouble(Variant(true)), -1.0);
}

TEST(ConvertTest, EqualsNumberAsSelectCaseCompares) {
  EXPECT_TRUE(EqualsNumber(Variant(u"4"), 4));
  EXPECT_TRUE(EqualsNumber(Variant(u" 4.0 "), 4));
  EXPECT_FALSE(EqualsNumber(Variant(u"4.5"), 4));
  EXPECT_TRUE(EqualsNumber(Variant(), 0));
  EXPECT_FALSE(EqualsNumber(Variant(), 1));
  EXPECT_FALSE(EqualsNumber(Variant(kNull), 0));
  EXPECT_TRUE(EqualsNumber(Variant(true), -1));
  EXPECT_TRUE(EqualsNumber(Variant::Byte(9), 9));
  EXPECT_RAISES(EqualsNumber(Variant(u"x"), 1), errors::kTypeMismatch);
  EXPECT_RAISES(EqualsNumber(Variant(u""), 1), errors::kTypeMismatch);
}

TEST(ConvertTest, ConcatJoinsNullAndEmptyAsEmptyText) {
  EXPECT_EQ(Concat(Variant(u"a\r\n"), Variant(kNull)), Variant(u"a\r\n"));
  EXPECT_EQ(Concat(Variant(), Variant(u"b")), Variant(u"b"));
  EXPECT_EQ(Concat(Variant(u"n="), Variant(2.5)), Variant(u"n=2.5"));
  EXPECT_EQ(Concat(Variant(u"b:"), Variant(true)), Variant(u"b:True"));
  EXPECT_TRUE(Concat(Variant(kNull), Variant(kNull)).IsNull());
}

TEST(ConvertTest, ObjectsConvertThroughTheirDefaultMember) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  // A dictionary's default member needs a key: the call has the wrong
  // argument count.
  EXPECT_RAISES(ToString(Variant(d)), errors::kWrongArgCount);
  EXPECT_RAISES(RequireObject(Variant(5)), errors::kObjectRequired);
  EXPECT_RAISES(RequireObject(Variant(Ref<Object>())), errors::kObjectNotSet);
}

}  // namespace
}  // namespace quillet
