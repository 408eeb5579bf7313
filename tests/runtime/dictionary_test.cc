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

TEST(DictionaryTest, ReadingAnAbsentKeyAddsItEmpty) {
  Dictionary d;
  d.Add(u"A", u"1");
  EXPECT_TRUE(d.Item(u"B").IsEmpty());
  EXPECT_TRUE(d.Item(u"a").IsEmpty());  // keys are case-sensitive
  EXPECT_EQ(Show(d), "{A: String \"1\", B: Empty, a: Empty}");
  EXPECT_FALSE(d.Exists(u"C"));
  EXPECT_EQ(d.Count(), 3);
}

TEST(DictionaryTest, AddOfAPresentKeyFailsWith457) {
  Dictionary d;
  d.Add(u"K", 1);
  EXPECT_RAISES_WITH(d.Add(u"K", 2), errors::kDuplicateKey,
                     u"This key is already associated with an element of "
                     u"this collection");
  EXPECT_EQ(d.Item(u"K"), Variant(1));
}

TEST(DictionaryTest, NumericKeysCompareByValueTextKeysDoNot) {
  Dictionary d;
  d.Add(Variant::Integer(1), u"int");
  EXPECT_TRUE(d.Exists(Variant::Long(1)));
  EXPECT_TRUE(d.Exists(Variant(1.0)));
  EXPECT_FALSE(d.Exists(Variant(u"1")));
}

TEST(DictionaryTest, RemoveKeepsOrderAndFailsForAbsentKeys) {
  Dictionary d;
  d.Add(u"A", 1);
  d.Add(u"B", 2);
  d.Add(u"C", 3);
  d.Remove(u"B");
  EXPECT_EQ(Show(d), "{A: Long 1, C: Long 3}");
  EXPECT_EQ(d.Item(u"C"), Variant(3));
  EXPECT_RAISES(d.Remove(u"B"), errors::kElementNotFound);
  Variant key_array = d.Keys();
  const SafeArray& keys = key_array.AsArray();
  EXPECT_EQ(keys.UpperBound(1), 1);
  EXPECT_EQ(keys.At({1}), Variant(u"C"));
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

namespace quillet {
namespace {

// Past a couple of dozen entries the dictionary switches to a hash index;
// both ways must answer the same.
TEST(DictionaryTest, LargeDictionariesKeepTheSameRules) {
  Dictionary d;
  for (int i = 0; i < 100; ++i) d.Add(Variant(u"k" + ToString(Variant(i))), i);
  d.Add(Variant::Integer(7), u"seven");
  EXPECT_TRUE(d.Exists(Variant(7.0)));
  EXPECT_FALSE(d.Exists(Variant(u"7")));
  EXPECT_EQ(d.Item(u"k42"), Variant(42));
  EXPECT_RAISES(d.Add(Variant(u"k99"), 0), errors::kDuplicateKey);
  d.Remove(u"k0");
  EXPECT_EQ(d.entries().front().first, Variant(u"k1"));
  EXPECT_EQ(d.Item(u"k50"), Variant(50));
  EXPECT_TRUE(d.Item(u"new").IsEmpty());
  EXPECT_EQ(d.Count(), 101);
  for (int i = 1; i < 100; ++i) d.Remove(Variant(u"k" + ToString(Variant(i))));
  EXPECT_EQ(Show(d), "{7: String \"seven\", new: Empty}");
  EXPECT_EQ(d.Item(Variant::Long(7)), Variant(u"seven"));
}

}  // namespace
}  // namespace quillet
