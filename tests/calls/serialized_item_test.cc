#include <gtest/gtest.h>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "quillet/text.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using testing::RecordingWorld;

Variant Table(int32_t rows, int32_t columns, int32_t row_base = 0) {
  SafeArray a(ElementType::Variant, {{row_base, rows}, {0, columns}});
  for (int32_t r = 0; r < rows; ++r)
    for (int32_t c = 0; c < columns; ++c)
      a.Set({row_base + r, c},
            u"r" + ToString(Variant(r)) + u"c" + ToString(Variant(c)));
  return a;
}

// The item table the manager received, as "cell,cell|cell,cell".
std::string Received(const Variant& table) {
  const SafeArray& t = table.AsArray();
  std::string out;
  for (int32_t r = 0; r <= t.UpperBound(1); ++r) {
    out += (r ? "|" : "") + ToUtf8(t.At({r, 0}).AsString()) + "," +
           ToUtf8(t.At({r, 1}).AsString());
  }
  return out;
}

TEST(SerializedItemTest, TheManagerReceivesATwoColumnStringTable) {
  struct Case {
    Variant values;
    std::string received;
  };
  SafeArray mixed(ElementType::Variant, {{0, 2}, {0, 2}});
  mixed.Set({0, 0}, 12);
  mixed.Set({0, 1}, 2.5);
  mixed.Set({1, 0}, true);  // row 1, column 1 stays Empty
  const Case cases[] = {
      {Table(3, 2), "r0c0,r0c1|r1c0,r1c1|r2c0,r2c1"},
      {Table(1, 2), "r0c0,r0c1"},
      {Table(2, 4), "r0c0,r0c1|r1c0,r1c1"},
      {Variant(mixed), "12,2.5|True,"},
  };
  for (const Case& c : cases) {
    RecordingWorld world;
    std::string received;
    std::string shape;
    world.script.on_serialized_item = [&](Variant& table, Variant&, Variant&) {
      received = Received(table);
      shape = testing::Show(table);
      EXPECT_EQ(table.AsArray().element_type(), ElementType::String);
    };
    Variant values = c.values, component = u"Items", error;
    EXPECT_TRUE(
        NewCalls()->CreateSerializedItem(values, component, error).IsEmpty());
    EXPECT_EQ(received, c.received);
    EXPECT_EQ(world.Lines("SerializedItemManager#1."),
              "SerializedItemManager#1.CreateSerializedItem(" + shape +
                  ", String \"Items\", Empty)");
    EXPECT_TRUE(world.log().empty());
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

TEST(SerializedItemTest, RefusalsAreLoggedNotRaised) {
  struct Case {
    bool update;
    Variant error_on_entry;
    std::string written;  // what the manager writes, "" for nothing
    std::string method;
    std::string text;
  };
  const Case cases[] = {
      {false, Variant(), "Duplicate serial",
       "Quillet.Calls.CreateSerializedItem(ERP error)", "Duplicate serial"},
      {true, Variant(), "Unknown item",
       "Quillet.Calls.UpdateSerializedItem(ERP error)", "Unknown item"},
      {false, Variant(u"stale"), "",
       "Quillet.Calls.CreateSerializedItem(ERP error)", "stale"},
  };
  for (const Case& c : cases) {
    RecordingWorld world;
    world.script.on_serialized_item = [&](Variant&, Variant&, Variant& error) {
      if (!c.written.empty()) error = FromUtf8(c.written);
    };
    Variant values = Table(1, 2), component = u"Items",
            error = c.error_on_entry;
    Ref<CallsInterface> calls = NewCalls();
    Variant result =
        c.update ? calls->UpdateSerializedItem(values, component, error)
                 : calls->CreateSerializedItem(values, component, error);
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_EQ(error, Variant(FromUtf8(c.text)));  // the caller sees the write
    ASSERT_EQ(world.log().size(), 1u);
    EXPECT_EQ(world.log()[0].text,
              c.method +
                  " caught: (0). Additional information:  Additional "
                  "information: Error while registering serialized item: " +
                  c.text);
    EXPECT_EQ(
        world.Lines(c.update ? "ChangeSerializedItem" : "CreateSerializedItem(")
            .empty(),
        false);
  }
  RecordingWorld quiet;
  Variant values = Table(1, 2), component, null_error = kNull;
  NewCalls()->CreateSerializedItem(values, component, null_error);
  EXPECT_TRUE(quiet.log().empty());
}

TEST(SerializedItemTest, FailuresAreLoggedAndRaised) {
  struct Case {
    std::string name;
    Variant values;
    int32_t number;
    std::string description;
  };
  SafeArray one_dimension(ElementType::Variant, {{0, 3}});
  SafeArray no_column_one(ElementType::Variant, {{0, 2}, {0, 1}});
  SafeArray no_rows(ElementType::Variant, {{0, 0}, {0, 2}});
  SafeArray null_cell(ElementType::Variant, {{0, 1}, {0, 2}});
  null_cell.Set({0, 1}, kNull);
  const Case cases[] = {
      {"text", Variant(u"not a table"), 13, "Type mismatch"},
      {"empty", Variant(), 13, "Type mismatch"},
      {"one dimension", Variant(one_dimension), 9, "Subscript out of range"},
      {"rows from 1", Table(2, 2, 1), 9, "Subscript out of range"},
      {"no column 1", Variant(no_column_one), 9, "Subscript out of range"},
      {"no rows", Variant(no_rows), 9, "Subscript out of range"},
      {"null cell", Variant(null_cell), 94, "Invalid use of Null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWorld world;
    Variant values = c.values, component = u"Items", error = u"as passed";
    std::optional<ErrorInfo> raised = testing::RaisedBy(
        [&] { NewCalls()->CreateSerializedItem(values, component, error); });
    EXPECT_TRUE(testing::Raises(
        raised, c.number,
        FromUtf8("\r\nMETHOD: Quillet.Calls.CreateSerializedItem caught: " +
                 c.description + "(" + std::to_string(c.number) +
                 "). Additional information: " + c.description)));
    EXPECT_EQ(raised.value_or(ErrorInfo()).source, u"Quillet.Calls");
    EXPECT_EQ(error, Variant(u"as passed"));
    ASSERT_EQ(world.log().size(), 1u);
    EXPECT_EQ(
        world.log()[0].text.rfind(
            "Quillet.Calls.CreateSerializedItem caught: " + c.description, 0),
        0u);
    EXPECT_EQ(world.Lines("SerializedItemManager"), "");  // never reached
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

TEST(SerializedItemTest, RowCounterIsSixteenBits) {
  int copied_cells = 0;
  for (int32_t rows : {32767, 32768}) {
    RecordingWorld world;
    Variant values = SafeArray(ElementType::Variant, {{0, rows}, {0, 2}});
    Variant component, error;
    world.script.on_serialized_item = [&](Variant& table, Variant&, Variant&) {
      copied_cells = static_cast<int>(table.AsArray().elements().size());
    };
    if (rows == 32767) {
      NewCalls()->UpdateSerializedItem(values, component, error);
      EXPECT_EQ(copied_cells, 2 * 32767);
      EXPECT_EQ(world.Lines("ChangeSerializedItem").empty(), false);
    } else {
      EXPECT_RAISES(NewCalls()->UpdateSerializedItem(values, component, error),
                    errors::kOverflow);
      EXPECT_EQ(world.Lines("SerializedItemManager"), "");
      EXPECT_EQ(world.log().size(), 1u);
      EXPECT_NE(world.log()[0].text.find(
                    "Quillet.Calls.UpdateSerializedItem caught: Overflow(6)"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace quillet
