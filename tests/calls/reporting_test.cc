// ReportError and LogError: composed texts byte for byte, the WriteEntry
// arguments, the log component's creation, and log failures.
#include <gtest/gtest.h>

#include "quillet/error.h"
#include "quillet/standins/transaction_host.h"
#include "reporting/toliva_utilities.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using TolivaUtilities::LogError;
using TolivaUtilities::ReportError;

constexpr StringView kMethod = u"Quillet.Calls.UpdateCall";

void WithCurrentError(int32_t number, const std::function<void()>& body) {
  ErrorTrap trap(u"Quillet.Calls");
  try {
    Raise({.number = number,
           .source = u"Src",
           .description = u"Broke",
           .help_file = u"help.chm",
           .help_context = 77});
  } catch (...) {
    trap.Catch();
    body();
  }
}

TEST(LogErrorTest, ComposesTheLogText) {
  struct Case {
    std::function<void()> call;
    std::string text;
    std::string source;
  };
  const Variant empty_text = u"";
  const Variant info = u"X";
  const Case cases[] = {
      {[] { LogError(kMethod); }, "Quillet.Calls.UpdateCall caught: (0).", ""},
      {[&] { LogError(kMethod, empty_text); },
       "Quillet.Calls.UpdateCall caught: (0). Additional information: ", ""},
      {[] { LogError(kMethod, Variant(kNull)); },
       "Quillet.Calls.UpdateCall caught: (0). Additional information: ", ""},
      {[] { LogError(kMethod, Variant(42)); },
       "Quillet.Calls.UpdateCall caught: (0). Additional information: 42", ""},
      {[&] { WithCurrentError(-5, [&] { LogError(kMethod, info); }); },
       "Quillet.Calls.UpdateCall caught: Broke(-5). Additional information: X",
       "Src"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    testing::RecordingWorld world;
    c.call();
    ASSERT_EQ(world.log().size(), 1u);
    EXPECT_EQ(world.log()[0].text, c.text);
    EXPECT_EQ(world.log()[0].source, c.source);
    EXPECT_EQ(world.log()[0].number, Variant::Long(0));
    EXPECT_EQ(world.log()[0].extra, "Empty");
  }
}

TEST(ReportErrorTest, WithoutCurrentErrorOnlyLogs) {
  testing::RecordingWorld world;
  ReportError(kMethod);
  Variant info = u"X";
  ReportError(kMethod, info);
  ASSERT_EQ(world.log().size(), 2u);
  EXPECT_EQ(world.log()[0].text,
            "Quillet.Calls.UpdateCall caught: (0). Additional information: ");
  EXPECT_EQ(world.log()[1].text,
            "Quillet.Calls.UpdateCall caught: (0). Additional information:  "
            "Additional information: X");
  EXPECT_EQ(world.log()[0].source, "");
  EXPECT_EQ(info, Variant(u"X"));
}

TEST(ReportErrorTest, WithCurrentErrorLogsAndRaisesTheComposedText) {
  struct Case {
    int32_t number;
    bool with_info;
    std::u16string raised;
  };
  const Case cases[] = {
      {13, false, u"\r\nMETHOD: Quillet.Calls.UpdateCall caught: Broke(13)."},
      {-2147221231, true,
       u"\r\nMETHOD: Quillet.Calls.UpdateCall caught: Broke(-2147221231). "
       u"Additional information: caller's text"},
  };
  for (const Case& c : cases) {
    testing::RecordingWorld world;
    Variant description = u"caller's text";
    std::optional<ErrorInfo> raised;
    WithCurrentError(c.number, [&] {
      raised = testing::RaisedBy([&] {
        c.with_info ? ReportError(kMethod, description) : ReportError(kMethod);
      });
    });
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(*raised, (ErrorInfo{.number = c.number,
                                  .source = u"Src",
                                  .description = c.raised,
                                  .help_file = u"help.chm",
                                  .help_context = 77}));
    ASSERT_EQ(world.log().size(), 1u);
    std::string number = std::to_string(c.number);
    EXPECT_EQ(
        world.log()[0].text,
        "Quillet.Calls.UpdateCall caught: Broke(" + number +
            "). Additional information: \r\nMETHOD: "
            "Quillet.Calls.UpdateCall caught: Broke(" +
            number + ")." +
            (c.with_info ? " Additional information: caller's text" : ""));
    EXPECT_EQ(world.log()[0].source, "Src");
    EXPECT_EQ(description, Variant(u"caller's text"));
  }
}

TEST(ReportErrorTest, ALogFailureReplacesTheReportedError) {
  for (bool unavailable : {true, false}) {
    testing::RecordingWorld world;
    world.log_unavailable = unavailable;
    world.log_write_fails = !unavailable;
    int32_t number = 0;
    WithCurrentError(13, [&] {
      number = testing::NumberRaisedBy([&] { ReportError(kMethod); });
    });
    EXPECT_EQ(number, unavailable ? 429 : 75);
    EXPECT_TRUE(world.log().empty());
  }
}

TEST(LogErrorTest, UnderATransactionTheLogJoinsTheContext) {
  testing::RecordingWorld world;
  int created_through_context = 0;
  class CountingContext : public ObjectContext {
   public:
    explicit CountingContext(int* n) : n_(n) {}
    String Identity() const override { return u"c"; }
    Ref<Object> CreateInstance(StringView name) override {
      ++*n_;
      return CreateObject(name);
    }
    int* n_;
  };
  LogError(kMethod);
  {
    ObjectContextScope scope(
        MakeRef<CountingContext>(&created_through_context));
    LogError(kMethod);
  }
  EXPECT_EQ(created_through_context, 1);
  ASSERT_EQ(world.log().size(), 2u);
  EXPECT_EQ(world.log()[0].text, world.log()[1].text);
}

}  // namespace
}  // namespace quillet
