// A call's properties as each engine spells them: the record's properties
// by CallProperty, and names this release does not know (a later release's)
// kept beside them, so that a row read and written again keeps every byte.
#include <gtest/gtest.h>

#include <functional>

#include "call_row_json.h"
#include "postgres_call_row.h"
#include "quillet/standins/store_types.h"

namespace quillet::standins {
namespace {

std::string Frames(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) {
    auto n = static_cast<uint32_t>(part.size());
    out += {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
            static_cast<char>(n >> 8), static_cast<char>(n)};
    out += part;
  }
  return out;
}

struct Codec {
  const char* name;
  std::string stored;  // as an earlier write left it, in stored-name order
  std::function<std::string(const StoredProperties&, const UnknownProperties&)>
      encode;
  std::function<void(std::string_view, StoredProperties&, UnknownProperties&)>
      decode;
};

TEST(StoredPropertiesTest, UnknownNamesAreKeptInPlaceByEitherEngine) {
  // "Component" sorts between two known names; "status" is no name of the
  // record's (names match exactly) and sorts last, byte by byte.
  const Codec codecs[] = {
      {"json",
       R"({"CallNumber":"SC000001","Component":"C-1","Status":["Byte",30],)"
       R"("Zeta":["Long",7],"status":"x"})",
       EncodeProperties, DecodeProperties},
      {"frames",
       Frames({"CallNumber", "String", "SC000001", "Component", "String", "C-1",
               "Status", "Byte", "30", "Zeta", "Long", "7", "status", "String",
               "x"}),
       FrameProperties, UnframeProperties},
  };
  for (const Codec& codec : codecs) {
    SCOPED_TRACE(codec.name);
    StoredProperties known;
    UnknownProperties unknown;
    codec.decode(codec.stored, known, unknown);
    EXPECT_EQ(known,
              (StoredProperties{
                  {CallProperty::CallNumber, {VarType::String, "SC000001", 0}},
                  {CallProperty::Status, {VarType::Byte, "", 30}}}));
    EXPECT_EQ(unknown,
              (UnknownProperties{{"Component", {VarType::String, "C-1", 0}},
                                 {"Zeta", {VarType::Long, "", 7}},
                                 {"status", {VarType::String, "x", 0}}}));
    EXPECT_EQ(codec.encode(known, unknown), codec.stored);
  }
}

}  // namespace
}  // namespace quillet::standins
