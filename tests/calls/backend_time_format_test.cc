#include <gtest/gtest.h>

#include "quillet/calls.h"
#include "quillet/error.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

struct Case {
  Variant minutes;
  Variant result;
};

TEST(BackendTimeFormatTest, MinutesToHoursAndMinutes) {
  const Case cases[] = {
      {Variant(1), Variant::Long(1)},
      {Variant(59), Variant::Long(59)},
      {Variant(60), Variant::Long(100)},
      {Variant(61), Variant::Long(101)},
      {Variant(90), Variant::Long(130)},
      {Variant(1440), Variant::Long(2400)},
      {Variant(100000), Variant::Long(166640)},
      {Variant(1288490207), Variant::Long(2147483647)},
      {Variant(0), Variant::Integer(0)},
      {Variant(-1), Variant::Integer(0)},
      {Variant(-600), Variant::Integer(0)},
      {Variant(), Variant::Integer(0)},
      {Variant(false), Variant::Integer(0)},
      {Variant(u"125"), Variant::Long(205)},
      {Variant(u" 90 "), Variant::Long(130)},
      {Variant(89.5), Variant::Long(130)},
      {Variant(90.5), Variant::Long(130)},
      {Variant(0.4), Variant::Long(0)},
      {Variant::Byte(60), Variant::Long(100)},
  };
  Ref<CallsInterface> calls = NewCalls();
  for (const Case& c : cases) {
    Variant argument = c.minutes;
    SCOPED_TRACE(testing::Show(c.minutes));
    EXPECT_EQ(calls->backendTimeFormat(argument), c.result);
    EXPECT_EQ(argument, c.minutes);  // never changed
  }
}

struct FailCase {
  Variant minutes;
  int32_t number;
  std::u16string description;
};

TEST(BackendTimeFormatTest, FailuresReachTheCallerUnlogged) {
  testing::RecordingWorld world;  // any log entry would show up here
  const FailCase cases[] = {
      {Variant(u"abc"), 13, u"Type mismatch"},
      {Variant(u""), 13, u"Type mismatch"},
      {Variant(kNull), 94, u"Invalid use of Null"},
      {Variant(1288490208), 6, u"Overflow"},
      {Variant(2147483647), 6, u"Overflow"},
      {Variant(3e9), 6, u"Overflow"},
  };
  Ref<CallsInterface> calls = NewCalls();
  for (const FailCase& c : cases) {
    SCOPED_TRACE(testing::Show(c.minutes));
    Variant argument = c.minutes;
    std::optional<ErrorInfo> raised =
        testing::RaisedBy([&] { calls->backendTimeFormat(argument); });
    EXPECT_TRUE(testing::Raises(raised, c.number, c.description));
    EXPECT_EQ(raised.value_or(ErrorInfo()).source, u"Quillet.Calls");
    EXPECT_EQ(argument, c.minutes);
  }
  EXPECT_TRUE(world.log().empty());
  EXPECT_TRUE(world.journal().empty());
}

}  // namespace
}  // namespace quillet
