#include <gtest/gtest.h>

#include "quillet/adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "session/toliva_include.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using TolivaInclude::BindAdapterSession;

Variant NewManager() {
  return Variant(CreateObject(adapter::kServiceCallManagerClass));
}

// The binding's calls in their order, the session released after them, are
// pinned by CreateCallTest.FullJournalOfASuccessfulCall.
TEST(BindAdapterSessionTest, TwoBindingsMakeTwoSessions) {
  testing::RecordingWorld world;
  Variant first = NewManager(), second = NewManager();
  EXPECT_TRUE(BindAdapterSession(u"", first));
  EXPECT_TRUE(BindAdapterSession(u"", second));
  EXPECT_EQ(world.Lines("addManager"),
            "UserSession#1.addManager(Object ServiceCallManager#1)\n"
            "UserSession#2.addManager(Object ServiceCallManager#2)");
  EXPECT_EQ(world.Lines("Initialize"),
            "ServiceCallManager#1.Initialize(String \"\")\n"
            "ServiceCallManager#2.Initialize(String \"\")");
}

TEST(BindAdapterSessionTest, EachFailingStepIsLoggedAndAnsweredFalse) {
  struct Case {
    std::string failing;  // the journal text of the failing call
    std::string last_call;
  };
  const Case cases[] = {
      {"new UserSession", "new UserSession !failed"},
      {"setUserInfo",
       "UserSession#1.setUserInfo(String \"\", String \"\") !failed"},
      {"addManager",
       "UserSession#1.addManager(Object ServiceCallManager#1) !failed"},
      {"Initialize", "ServiceCallManager#1.Initialize(String \"C\") !failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    testing::RecordingWorld world;
    Variant manager = NewManager();
    world.failure.matching = c.failing;
    EXPECT_FALSE(BindAdapterSession(u"C", manager));
    EXPECT_TRUE(manager.IsObject());  // never cleared
    std::vector<std::string> calls = world.AdapterCalls();
    EXPECT_EQ(calls.back(), c.last_call);
    ASSERT_EQ(world.log().size(), 1u);
    std::string description =
        "Injected failure at " + c.last_call.substr(0, c.last_call.size() - 8);
    EXPECT_EQ(
        world.log()[0].text,
        "Quillet.TolivaInclude.BindAdapterSession caught: " + description +
            "(1001). Additional information: " + description);
    EXPECT_EQ(world.log()[0].source, "Holmfast.Adapter");
    EXPECT_EQ(world.LiveTotal(), 1);  // only the caller's manager
    EXPECT_EQ(CurrentError().number, 0);
  }
}

TEST(BindAdapterSessionTest, MissingSessionClassLogsTheCreationFailure) {
  testing::RecordingWorld world;
  world.RemoveSessionClass();
  Variant manager = NewManager();
  EXPECT_FALSE(BindAdapterSession(u"C", manager));
  ASSERT_EQ(world.log().size(), 1u);
  EXPECT_EQ(world.log()[0].text,
            "Quillet.TolivaInclude.BindAdapterSession caught: ActiveX "
            "component can't create object(429). Additional information: "
            "ActiveX component can't create object");
  EXPECT_EQ(world.log()[0].source, "Quillet");
}

TEST(BindAdapterSessionTest, ALogFailureEscapes) {
  testing::RecordingWorld world;
  world.failure.matching = "setUserInfo";
  world.log_write_fails = true;
  Variant manager = NewManager();
  EXPECT_RAISES(BindAdapterSession(u"C", manager), errors::kPathFileAccess);
  EXPECT_EQ(world.LiveTotal(), 1);
  EXPECT_EQ(CurrentError().number, 0);
}

// The manager argument is in/out: an operation goes on with whatever the
// session left in it, and fails as an assignment would when that is not a
// manager.
TEST(BindAdapterSessionTest, OperationsGoOnWithTheManagerTheArgumentHolds) {
  struct Case {
    std::string name;
    bool create;
    std::function<Variant()> handed_back;
    std::string manager_lines;
    std::string error;
  };
  const std::string replaced =
      "new ServiceCallManager\n"
      "UserSession#1.addManager(Object ServiceCallManager#1)\n"
      "new ServiceCallManager\n"
      "ServiceCallManager#2.Initialize(String \"\")\n"
      "release ServiceCallManager#1\n";
  const Case cases[] = {
      {"create, another manager", true, NewManager,
       replaced +
           "ServiceCallManager#2.SubmitNewCalls(Object ServiceCallList#1)\n"
           "ServiceCallManager#2.Close()\n"
           "release ServiceCallManager#2",
       ""},
      {"update, another manager", false, NewManager,
       replaced +
           "ServiceCallManager#2.SubmitChangedCalls(Object ServiceCallList#1)\n"
           "ServiceCallManager#2.Close()\n"
           "release ServiceCallManager#2",
       ""},
      {"create, not a manager", true,
       [] { return Variant(MakeRef<Dictionary>()); },
       "new ServiceCallManager\n"
       "UserSession#1.addManager(Object ServiceCallManager#1)\n"
       "ServiceCallManager#1.Close()\n"
       "release ServiceCallManager#1",
       "Type mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::RecordingWorld world;
    world.script.on_add_manager = [&](Variant& manager) {
      manager = c.handed_back();
    };
    world.script.returned = {
        {adapter::CallProperty::LastTransactionTime, Variant::Long(7)}};
    Ref<Dictionary> details = MakeRef<Dictionary>();
    Variant error;
    if (c.create)
      NewCalls()->CreateCall(details, error);
    else
      NewCalls()->UpdateCall(details, error);
    EXPECT_EQ(world.Lines("ServiceCallManager"), c.manager_lines);
    EXPECT_EQ(testing::Show(error),
              c.error.empty() ? "Empty" : "String \"" + c.error + "\"");
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

}  // namespace
}  // namespace quillet
