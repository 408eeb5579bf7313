// JSON to variants and back, as the front ends map requests and answers.
#include "quillet/operations/json_variant.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "quillet/safe_array.h"

namespace quillet::operations {
namespace {

using json = nlohmann::ordered_json;

TEST(JsonVariantTest, MapsJsonToVariants) {
  EXPECT_EQ(JsonToVariant(json(5)), Variant(5));
  EXPECT_EQ(JsonToVariant(json(3000000000LL)), Variant(3e9));
  EXPECT_EQ(JsonToVariant(json(-2147483648LL)), Variant(-2147483647 - 1));
  EXPECT_EQ(JsonToVariant(json(2.5)), Variant(2.5));
  EXPECT_EQ(JsonToVariant(json("t")), Variant(u"t"));
  EXPECT_TRUE(JsonToVariant(json(nullptr)).IsNull());
  Variant table = JsonToVariant(json::parse(R"([["a",1],["b",2]])"));
  ASSERT_TRUE(table.IsArray());
  EXPECT_EQ(table.AsArray().UpperBound(1), 1);
  EXPECT_EQ(table.AsArray().UpperBound(2), 1);
  EXPECT_EQ(table.AsArray().At({1, 0}), Variant(u"b"));
  Variant flat = JsonToVariant(json::parse(R"([1,"x"])"));
  EXPECT_EQ(flat.AsArray().Dimensions(), 1);
  EXPECT_THROW(JsonToVariant(json::parse(R"([[[1]]])")), UsageError);
  EXPECT_EQ(VariantToJson(Variant::Byte(7), true),
            json({{"type", "Byte"}, {"value", 7}}));
  EXPECT_THROW(JsonToVariant(json("\xff")), UsageError);
}

}  // namespace
}  // namespace quillet::operations
