#include <gtest/gtest.h>

#include "quillet/calls.h"
#include "quillet/error.h"
#include "quillet/text.h"
#include "support/call_details.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using adapter::CallProperty;
using testing::RecordingWorld;
using testing::Show;

Ref<Dictionary> FullDetails() {
  return testing::ToDictionary(testing::CreateCallDetails());
}

void ScriptStoredCall(RecordingWorld& world) {
  world.script.engineer_time = 60;
  world.script.returned = {
      {CallProperty::CallNumber, u"C-1"},
      {CallProperty::LastTransactionTime, Variant::Long(1234)},
      {CallProperty::Contract, u"K1"},
      {CallProperty::WarrantyFlag, Variant::Byte(1)},
      {CallProperty::Warranty, u"W1"},
      {CallProperty::WarrantyDescription, u"Full"},
      {CallProperty::WarrantyExpiryDate, u"2027-01-01"},
  };
}

TEST(CreateCallTest, FullJournalOfASuccessfulCall) {
  RecordingWorld world;
  ScriptStoredCall(world);
  Ref<Dictionary> details = FullDetails();
  Variant error = u"untouched";
  Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
  ASSERT_TRUE(result);
  EXPECT_EQ(Show(*result),
            "{CALLNUMBER: String \"C-1\", LASTTRANSTIME: Long 1234, CONTRACT: "
            "String \"K1\", WARRANTY: String \"W1\", WARRANTYDESC: String "
            "\"Full\", WARRANTYEXPDATE: String \"2027-01-01\"}");
  EXPECT_EQ(error, Variant(u"untouched"));
  EXPECT_TRUE(world.log().empty());
  EXPECT_EQ(world.Journal(),
            "new ServiceCallManager\n"
            "new ServiceCallRecord\n"
            "new ServiceCallList\n"
            "new CreateCallResponse\n"
            "new UserSession\n"
            "UserSession#1.setUserInfo(String \"\", String \"\")\n"
            "UserSession#1.addManager(Object ServiceCallManager#1)\n"
            "ServiceCallManager#1.Initialize(String \"Desk\")\n"
            "release UserSession#1\n"
            "ServiceCallRecord#1.SoldToBusinessPartner = String \"BP-1\"\n"
            "ServiceCallRecord#1.Site = String \"Harbour Road\"\n"
            "ServiceCallRecord#1.ServiceObject = String \"PRN-1\"\n"
            "ServiceCallRecord#1.ObjectNumber = String \"N-9\"\n"
            "ServiceCallRecord#1.CallDescription = String \"Paper jam\"\n"
            "ServiceCallRecord#1.Problem = String \"JAM\"\n"
            "ServiceCallRecord#1.Priority = Byte 2\n"
            "ServiceCallRecord#1.BusinessPartnerNumber = String \"BP-1\"\n"
            "ServiceCallRecord#1.OriginCode = Byte 40\n"
            "ServiceCallRecord#1.CallGroup1 = String \"G1\"\n"
            "ServiceCallRecord#1.CallGroup2 = String \"G2\"\n"
            "ServiceCallRecord#1.CallerName = String \"Ines Park\"\n"
            "ServiceCallRecord#1.Contact = String \"Bob\"\n"
            "ServiceCallRecord#1.Engineer = String \"ENG-07\"\n"
            "ServiceCallRecord#1.CreatedBy = String \"agent\"\n"
            "ServiceCallRecord#1.ActionDoneBy = String \"agent\"\n"
            "new Question\n"
            "Question#1.GetEngineerTime(String \"Q-1\")\n"
            "release Question#1\n"
            "ServiceCallRecord#1.TimeSpent = Long 130\n"
            "new CallText\n"
            "CallText#1.AddLine(String \"Printer jams on tray "
            "2\r\nhttps://desk/q/1\")\n"
            "ServiceCallRecord#1.Text = Object CallText#1\n"
            "ServiceCallList#1.Add(Object ServiceCallRecord#1)\n"
            "ServiceCallManager#1.SubmitNewCalls(Object ServiceCallList#1)\n"
            "release CreateCallResponse#1\n"
            "CreateCallResponse#2.ReturnedCalls?\n"
            "release ServiceCallList#1\n"
            "ServiceCallList#2.Item(Long 0)\n"
            "release ServiceCallRecord#1\n"
            "ServiceCallRecord#2.CallNumber?\n"
            "ServiceCallRecord#2.CallNumber?\n"
            "ServiceCallRecord#2.LastTransactionTime?\n"
            "ServiceCallRecord#2.LastTransactionTime?\n"
            "ServiceCallRecord#2.Contract?\n"
            "ServiceCallRecord#2.Contract?\n"
            "ServiceCallRecord#2.WarrantyFlag?\n"
            "ServiceCallRecord#2.Warranty?\n"
            "ServiceCallRecord#2.WarrantyDescription?\n"
            "ServiceCallRecord#2.WarrantyExpiryDate?\n"
            "CreateCallResponse#2.Messages?\n"
            "MessageList#1.Count?\n"
            "release MessageList#1\n"
            "release CallText#1\n"
            "release CreateCallResponse#2\n"
            "release ServiceCallList#2\n"
            "ServiceCallManager#1.Close()\n"
            "release ServiceCallManager#1\n"
            "release ServiceCallRecord#2\n");
  // The caller's dictionary gained nothing: every key was there.
  EXPECT_EQ(details->Count(), 19);
  EXPECT_EQ(world.LiveTotal(), 0);
}

TEST(CreateCallTest, AbsentKeysAreAddedInReadingOrder) {
  RecordingWorld world;
  Ref<Dictionary> details = MakeRef<Dictionary>();
  Variant error;
  Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
  ASSERT_TRUE(result);
  std::string keys;
  for (const auto& [k, v] : details->entries()) {
    keys += Show(k) + ";";
    EXPECT_TRUE(v.IsEmpty());
  }
  auto s = [](const char* k) { return "String \"" + std::string(k) + "\";"; };
  EXPECT_EQ(keys, s("COMPONENT") + s("Q_TEXT") + s("LINK") + s("SOLDTOBP") +
                      s("SITE") + s("OBJECT") + s("OBJECTNR") + s("CALLDESC") +
                      s("PROBLEM") + s("PRIORITY") + s("BPNUMBER") +
                      s("CALLGROUP1") + s("CALLGROUP2") + s("CALLERNAME") +
                      s("CONTACT") + s("ENGINEER") + s("CALLCREATER") +
                      s("Q_ID") + s("TIMESPENT"));
  // Without LINK the text is still Q_TEXT and CR LF.
  EXPECT_EQ(world.Lines("AddLine"), "CallText#1.AddLine(String \"\r\n\")");
  EXPECT_EQ(world.Lines("TimeSpent"), "ServiceCallRecord#1.TimeSpent = Long 0");
}

TEST(CreateCallTest, FailedBindingAnswersAnEmptyDictionary) {
  RecordingWorld world;
  world.failure.matching = "Initialize";
  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"COMPONENT", u"Desk");
  Variant error = u"kept";
  Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Count(), 0);
  EXPECT_EQ(error, Variant(u"kept"));
  EXPECT_EQ(details->Count(), 1);     // nothing more was read
  EXPECT_EQ(world.log().size(), 1u);  // the binding's own entry
  EXPECT_EQ(world.Lines("Close"), "ServiceCallManager#1.Close()");
  EXPECT_EQ(world.LiveTotal(), 0);
}

struct AbsorbedCase {
  std::string name;
  std::function<void(Dictionary&, RecordingWorld&)> arrange;
  int32_t number;
  std::string description;
};

TEST(CreateCallTest, FailuresAreAbsorbedWithDescriptionAndLogEntry) {
  const AbsorbedCase cases[] = {
      {"priority 256",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"PRIORITY", 256); }, 6,
       "Overflow"},
      {"priority text",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"PRIORITY", u"high"); }, 13,
       "Type mismatch"},
      {"time spent text",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"TIMESPENT", u"x"); }, 13,
       "Type mismatch"},
      {"sum overflows",
       [](Dictionary& d, RecordingWorld& w) {
         w.script.engineer_time = 2147483647;
         d.Add(u"TIMESPENT", 1);
       },
       6, "Overflow"},
      {"format overflows",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"TIMESPENT", 1288490208); },
       6, "Overflow"},
      {"null Q_TEXT",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"Q_TEXT", kNull); }, 94,
       "Invalid use of Null"},
  };
  for (const AbsorbedCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWorld world;
    world.script.returned = {{CallProperty::CallNumber, u"C-9"}};
    Ref<Dictionary> details = MakeRef<Dictionary>();
    c.arrange(*details, world);
    Variant error = u"before";
    Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
    EXPECT_FALSE(result);
    EXPECT_EQ(error, Variant(FromUtf8(c.description)));
    ASSERT_EQ(world.log().size(), 1u);
    EXPECT_EQ(world.log()[0].text,
              "Quillet.Calls.CreateCall caught: " + c.description + "(" +
                  std::to_string(c.number) +
                  "). Additional information: " + c.description);
    EXPECT_EQ(world.Lines("Close()"), "ServiceCallManager#1.Close()");
    EXPECT_EQ(world.LiveTotal(), 0);
    EXPECT_EQ(CurrentError().number, 0);
  }
}

// Q_TEXT, CR LF and LINK (a Null one joined as empty text) are cut into
// pieces of 2048 as one text: the CR LF across the cut.
TEST(CreateCallTest, CallTextIsSentInPiecesOf2048) {
  RecordingWorld world;
  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"Q_TEXT", String(2047, u'x'));
  details->Add(u"LINK", kNull);
  Variant error;
  EXPECT_TRUE(NewCalls()->CreateCall(details, error));
  EXPECT_EQ(world.Lines("AddLine"),
            "CallText#1.AddLine(String[2048] \"xxxxxxxxxxxxxxxxxxxx...\")\n"
            "CallText#1.AddLine(String \"\n\")");
}

TEST(CreateCallTest, ResultKeysFollowTheirConditions) {
  struct Case {
    std::vector<std::pair<CallProperty, Variant>> returned;
    std::string result;
  };
  const Case cases[] = {
      {{}, "{}"},
      {{{CallProperty::WarrantyFlag, Variant::Byte(255)}},
       "{WARRANTY: String \"\", WARRANTYDESC: String \"\", WARRANTYEXPDATE: "
       "String \"\"}"},
      {{{CallProperty::WarrantyFlag, Variant::Byte(2)},
        {CallProperty::Warranty, u"W"}},
       "{WARRANTY: String \"W\", WARRANTYDESC: String \"\", WARRANTYEXPDATE: "
       "String \"\"}"},
      {{{CallProperty::WarrantyFlag, Variant::Byte(0)},
        {CallProperty::Warranty, u"W"},
        {CallProperty::LastTransactionTime, Variant::Long(0)}},
       "{}"},
      {{{CallProperty::LastTransactionTime, Variant::Long(-5)}},
       "{LASTTRANSTIME: Long -5}"},
  };
  for (const Case& c : cases) {
    RecordingWorld world;
    world.script.returned = c.returned;
    Ref<Dictionary> details = MakeRef<Dictionary>();
    Variant error;
    Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
    ASSERT_TRUE(result);
    EXPECT_EQ(Show(*result), c.result);
  }
}

TEST(CreateCallTest, OnlyTheFirstMessageIsReportedAndTheResultKept) {
  RecordingWorld world;
  world.script.returned = {{CallProperty::CallNumber, u"C-2"}};
  world.script.messages = {"Unknown business partner", "second"};
  Ref<Dictionary> details = MakeRef<Dictionary>();
  Variant error;
  Ref<Dictionary> result = NewCalls()->CreateCall(details, error);
  ASSERT_TRUE(result);
  EXPECT_EQ(Show(*result), "{CALLNUMBER: String \"C-2\"}");
  EXPECT_EQ(error, Variant(u"Unknown business partner"));
  ASSERT_EQ(world.log().size(), 1u);
  EXPECT_EQ(world.log()[0].text,
            "Quillet.Calls.CreateCall caught: (0). Additional information:  "
            "Additional information: Unknown business partner");
  EXPECT_EQ(world.Lines("AdapterMessage"),
            "AdapterMessage#1.Text?\nrelease AdapterMessage#1");
}

TEST(CreateCallTest, FailuresInsideTheFailurePathEscape) {
  {
    RecordingWorld world;
    world.failure.matching = "Close";
    Ref<Dictionary> details = MakeRef<Dictionary>();
    Variant error;
    EXPECT_RAISES(NewCalls()->CreateCall(details, error),
                  testing::kInjectedNumber);
    // Close failed in the exit block, then again in the failure path.
    EXPECT_EQ(world.Lines("Close"),
              "ServiceCallManager#1.Close() !failed\n"
              "ServiceCallManager#1.Close() !failed");
    EXPECT_EQ(error,
              Variant(u"Injected failure at ServiceCallManager#1.Close()"));
    EXPECT_TRUE(world.log().empty());
    EXPECT_EQ(world.LiveTotal(), 0);
  }
  {
    RecordingWorld world;
    world.log_unavailable = true;
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"PRIORITY", 300);
    Variant error;
    EXPECT_RAISES(NewCalls()->CreateCall(details, error),
                  errors::kCantCreateObject);
    EXPECT_EQ(error, Variant(u"Overflow"));
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

}  // namespace
}  // namespace quillet
