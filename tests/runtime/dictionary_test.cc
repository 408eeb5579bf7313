#include "quillet/dictionary.h"

#include <gtest/gtest.h>

#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
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
  try {
    d.Add(u"K", 2);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errors::kDuplicateKey);
    EXPECT_EQ(e.info().description,
              u"This key is already associated with an element of this "
              u"collection");
  }
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
  try {
    d.Remove(u"B");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errors::kElementNotFound);
  }
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
