// A dry run is sent only to an adapter that honours it; any other is sent
// nothing, and no log entry is written (the trace shows it withheld).
#include <gtest/gtest.h>

#include <functional>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "support/call_details.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using testing::RecordingWorld;

TEST(DryRunTest, AnAdapterThatDoesNotHonourItIsSentNothing) {
  struct Case {
    std::string name;
    std::function<std::string(CallsInterface&)> run;  // the error text
  };
  auto item = [](bool create) {
    return [create](CallsInterface& calls) -> std::string {
      SafeArray a(ElementType::Variant, {{0, 1}, {0, 2}});
      a.Set({0, 0}, u"SERIALNUMBER");
      a.Set({0, 1}, u"S-1");
      Variant values = a, component = u"Items", error;
      try {
        create ? calls.CreateSerializedItem(values, component, error)
               : calls.UpdateSerializedItem(values, component, error);
      } catch (const Error& e) {
        EXPECT_EQ(e.number(), adapter::kDryRunNotHonoured);
        return ToUtf8(e.info().description);
      }
      return "returned";
    };
  };
  const Case cases[] = {
      {"create-call",
       [](CallsInterface& calls) -> std::string {
         Variant error;
         EXPECT_FALSE(calls.CreateCall(
             testing::ToDictionary(testing::CreateCallDetails()), error));
         return ToUtf8(ToString(error));
       }},
      {"update-call",
       [](CallsInterface& calls) -> std::string {
         Variant error;
         try {
           calls.UpdateCall(
               testing::ToDictionary(testing::UpdateCallDetails(2, 10)), error);
         } catch (const Error& e) {
           return ToUtf8(e.info().description);
         }
         return "returned";
       }},
      {"create-item", item(true)},
      {"update-item", item(false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWorld world;
    std::string error;
    {
      standins::TransactionScope dry(u"", standins::DryRun::kYes);
      error = c.run(*NewCalls());
    }
    EXPECT_NE(error.find(ToUtf8(adapter::kDryRunNotHonouredText)),
              std::string::npos)
        << error;
    // Made, asked, closed: nothing else reached the adapter.
    for (const std::string& line : world.AdapterCalls())
      EXPECT_TRUE(line.rfind("new ", 0) == 0 ||
                  line.find("HonoursDryRun") != std::string::npos ||
                  line.find(".Close()") != std::string::npos)
          << line;
    EXPECT_TRUE(world.log().empty());
    EXPECT_NE(world.Lines("withheld Log.WriteEntry"), "");
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

}  // namespace
}  // namespace quillet
