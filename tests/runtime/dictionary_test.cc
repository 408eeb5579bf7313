#include "quillet/dictionary.h"

#include <gtest/gtest.h>

#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using testing::Show;

// Past a couple of dozen entries the dictionary switches to a hash index:
// every rule is checked both ways, with and without a hundred keys before.
TEST(DictionaryTest, TheRulesHoldSearchedInOrderAndIndexed) {
  for (int filler : {0, 100}) {
    SCOPED_TRACE(filler);
    Dictionary d;
    auto name = [](int i) { return Variant(u"k" + ToString(Variant(i))); };
    for (int i = 0; i < filler; ++i) d.Add(name(i), i);
    d.Add(u"A", 1);
    d.Add(Variant::Integer(7), u"seven");
    // Reading an absent key adds it empty; text keys are case-sensitive.
    EXPECT_TRUE(d.Item(u"B").IsEmpty());
    EXPECT_TRUE(d.Item(u"a").IsEmpty());
    EXPECT_FALSE(d.Exists(u"C"));
    // Numeric keys compare by value, text keys do not.
    EXPECT_TRUE(d.Exists(Variant(7.0)));
    EXPECT_FALSE(d.Exists(Variant(u"7")));
    EXPECT_RAISES_WITH(d.Add(u"A", 2), errors::kDuplicateKey,
                       u"This key is already associated with an element of "
                       u"this collection");
    d.Remove(u"B");
    EXPECT_RAISES(d.Remove(u"B"), errors::kElementNotFound);
    // Removing from the front moves every entry: each is still found.
    for (int i = 0; i < filler; ++i) {
      d.Remove(name(i));
      if (i == filler / 2) {
        EXPECT_EQ(d.Item(name(filler - 1)), Variant(filler - 1));
      }
    }
    EXPECT_EQ(d.Item(u"A"), Variant(1));
    EXPECT_EQ(d.Item(Variant::Long(7)), Variant(u"seven"));
    EXPECT_EQ(Show(d), "{A: Long 1, 7: String \"seven\", a: Empty}");
    Variant key_array = d.Keys();
    const SafeArray& keys = key_array.AsArray();
    EXPECT_EQ(keys.UpperBound(1), 2);
    EXPECT_EQ(keys.At({1}), Variant::Integer(7));
  }
}

TEST(DictionaryTest, LateBoundMembersReachTheSameEntries) {
  Ref<Object> d = CreateObject(u"Scripting.Dictionary");
  Variant key = u"X", item = 5;
  CallMethod(d.Get(), u"Add", key, item);
  Variant missing = u"Y";
  EXPECT_TRUE(CallByName(d.Get(), u"item", InvokeKind::PropertyGet,
                         std::array<Variant*, 1>{&missing})
                  .IsEmpty());
  EXPECT_EQ(GetProperty(d.Get(), u"Count"), Variant(2));
  EXPECT_EQ(CallMethod(d.Get(), u"Exists", key), Variant(true));
  EXPECT_EQ(static_cast<Dictionary*>(d.Get())->Item(u"X"), Variant(5));
}

}  // namespace
}  // namespace quillet
