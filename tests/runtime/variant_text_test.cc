// Texts up to 15 code units live inside the Variant, longer ones in a
// String: every way of making, copying, moving and taking a text must give
// the same text on both sides of that line.
#include <gtest/gtest.h>

#include "quillet/convert.h"
#include "quillet/dictionary.h"
#include "quillet/variant.h"

namespace quillet {
namespace {

TEST(VariantTextTest, TextsKeepTheirValueAcrossTheInlineLimit) {
  const String cases[] = {
      String(),
      String(u"a"),
      String(u"WARRANTYEXPDAT"),         // 14
      String(u"WARRANTYEXPDATE"),        // 15: the longest held inline
      String(u"WARRANTYEXPDATES"),       // 16: the shortest held as a String
      String(u"ab\0cd\xD83D\xDE00", 7),  // an embedded NUL and a pair
      String(15, u'\xFFFF'),
      String(2100, u'q'),
  };
  for (const String& text : cases) {
    SCOPED_TRACE(text.size());
    String moved_in = text;
    const Variant made[] = {Variant(text), Variant(std::move(moved_in)),
                            Variant(StringView(text)),
                            Variant(String(text).c_str())};
    // A C string stops at the first NUL.
    const String c_text(text.c_str());
    for (size_t way = 0; way < std::size(made); ++way) {
      const Variant& v = made[way];
      const String& want = way == 3 ? c_text : text;
      ASSERT_EQ(v.type(), VarType::String);
      EXPECT_EQ(v.AsString(), StringView(want));
      EXPECT_EQ(ToString(v), want);

      Variant copy = v;
      EXPECT_EQ(copy, v);
      Variant moved = std::move(copy);
      EXPECT_EQ(moved.AsString(), StringView(want));
      EXPECT_EQ(ToString(std::move(moved)), want);

      Variant assigned = Variant::Long(1);
      assigned = v;
      EXPECT_EQ(assigned.AsString(), StringView(want));
      EXPECT_EQ(Concat(v, u"!").AsString(), want + u"!");
    }
    // One key however the text was made.
    Dictionary d;
    d.Add(made[0], 1);
    EXPECT_TRUE(d.Exists(made[1]));
    EXPECT_TRUE(d.Exists(made[2]));
    EXPECT_EQ(d.Item(StringView(text)), Variant(1));
    EXPECT_FALSE(d.Exists(text + u"x"));
  }
}

}  // namespace
}  // namespace quillet
