#include <gtest/gtest.h>

#include "quillet/calls.h"
#include "quillet/error.h"
#include "quillet/text.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using adapter::CallProperty;
using testing::RecordingWorld;
using testing::Show;

// Everything the option's row did between the three fixed fields and the
// list's Add: property sets, the engineer-time query and the texts.
std::string RowOf(const RecordingWorld& world) {
  std::string out;
  bool in_row = false;
  for (const std::string& line : world.journal()) {
    if (line.find("ActionDoneBy = ") != std::string::npos) {
      in_row = true;
      continue;
    }
    if (line.find("ServiceCallList#1.Add") != std::string::npos) break;
    if (in_row && line.rfind("release", 0) != 0)
      out += (out.empty() ? "" : "; ") + line;
  }
  return out;
}

Ref<Dictionary> OptionDetails(const Variant& option) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  d->Add(u"CALLNUMBER", u"C-7");
  d->Add(u"ENGINEER", u"E1");
  d->Add(u"ACTIONDONEBY", u"Ann");
  if (!option.IsEmpty()) d->Add(u"OPTION", option);
  d->Add(u"PROBLEM", u"p");
  d->Add(u"SOLUTION", u"s");
  d->Add(u"ACTIVITY", u"a");
  d->Add(u"Q_ID", u"Q1");
  d->Add(u"TIMESPENT", u"30");
  d->Add(u"SOLUTIONTEXT", u"fixed");
  d->Add(u"WAITINGDESC", u"parts");
  d->Add(u"Q_TEXT", u"more");
  return d;
}

TEST(UpdateCallTest, EachOptionSetsItsRowInOrder) {
  const std::string kQuestion =
      "new Question; Question#1.GetEngineerTime(String \"Q1\")";
  const std::string kActions =
      "ServiceCallRecord#1.ActionProblem = String \"p\"; "
      "ServiceCallRecord#1.ActionSolution = String \"s\"; "
      "ServiceCallRecord#1.ActionActivity = String \"a\"";
  const std::string kSolution =
      "new SolutionText; SolutionText#1.AddLine(String \"fixed\"); "
      "SolutionText#1.TextMode = String \"a\"; "
      "ServiceCallRecord#1.SolutionText = Object SolutionText#1";
  const std::string kDefault = "ServiceCallRecord#1.Status = Byte 10; " +
                               kQuestion +
                               "; ServiceCallRecord#1.TimeSpent = Long 100";
  struct Case {
    Variant option;
    std::string row;
  };
  const Case cases[] = {
      {1,
       "ServiceCallRecord#1.Status = Byte 15; "
       "ServiceCallRecord#1.ActionProblem = String \"p\""},
      {u"2", "ServiceCallRecord#1.Status = Byte 15; " + kActions + "; " +
                 kQuestion + "; ServiceCallRecord#1.TimeSpent = Long 130; " +
                 kSolution},
      {3.0,
       "ServiceCallRecord#1.Status = Byte 15; "
       "ServiceCallRecord#1.WaitingFlag = Byte 2; "
       "ServiceCallRecord#1.WaitingDescription = String \"\""},
      {Variant::Byte(4), "ServiceCallRecord#1.Status = Byte 25; " + kActions +
                             "; " + kSolution + "; " + kQuestion +
                             "; ServiceCallRecord#1.TimeSpent = Long 130"},
      {u" 5 ",
       "ServiceCallRecord#1.Status = Byte 15; "
       "ServiceCallRecord#1.WaitingFlag = Byte 1; "
       "ServiceCallRecord#1.WaitingDescription = String \"parts\""},
      {6, "ServiceCallRecord#1.Status = Byte 30; " + kActions + "; " +
              kSolution + "; " + kQuestion +
              "; ServiceCallRecord#1.TimeSpent = Long 100"},
      {7,
       "new CallText; CallText#1.AddLine(String \"more\"); "
       "CallText#1.TextMode = String \"a\"; "
       "ServiceCallRecord#1.Text = Object CallText#1"},
      {8, kDefault},
      {9, "ServiceCallRecord#1.OptionFlag = Byte 1"},
      {0, kDefault},
      {10, kDefault},
      {Variant(), kDefault},
      {Variant(kNull), kDefault},
      {4.5, kDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(c.option));
    RecordingWorld world;
    world.script.engineer_time = 60;
    Variant error;
    NewCalls()->UpdateCall(OptionDetails(c.option), error);
    EXPECT_EQ(RowOf(world), c.row);
    EXPECT_EQ(world.Lines("CallNumber = ") + "|" + world.Lines("Engineer = ") +
                  "|" + world.Lines("ActionDoneBy = "),
              "ServiceCallRecord#1.CallNumber = String \"C-7\"|"
              "ServiceCallRecord#1.Engineer = String \"E1\"|"
              "ServiceCallRecord#1.ActionDoneBy = String \"Ann\"");
    EXPECT_EQ(world.LiveTotal(), 0);
  }
}

TEST(UpdateCallTest, KeysAreReadOnlyByTheOptionsThatUseThem) {
  struct Case {
    int option;
    std::string added;  // keys the call added to an empty dictionary
  };
  const Case cases[] = {
      {1, "PROBLEM"},
      {2, "PROBLEM SOLUTION ACTIVITY Q_ID TIMESPENT SOLUTIONTEXT"},
      {3, ""},
      {4, "PROBLEM SOLUTION ACTIVITY SOLUTIONTEXT Q_ID TIMESPENT"},
      {5, "WAITINGDESC"},
      {6, "PROBLEM SOLUTION ACTIVITY SOLUTIONTEXT Q_ID"},
      {7, "Q_TEXT"},
      {8, "Q_ID"},
      {9, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    RecordingWorld world;
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"OPTION", c.option);
    Variant error;
    NewCalls()->UpdateCall(details, error);
    std::string added;
    for (const auto& [k, v] : details->entries())
      added += ToUtf8(k.AsString()) + " ";
    EXPECT_EQ(added, "OPTION COMPONENT CALLNUMBER ENGINEER ACTIONDONEBY " +
                         c.added + (c.added.empty() ? "" : " "));
  }
}

struct FailCase {
  std::string name;
  std::function<void(Dictionary&, RecordingWorld&)> arrange;
  int32_t number;
  std::string description;
};

TEST(UpdateCallTest, FailuresAreLoggedAndRaisedWithTheComposedText) {
  const FailCase cases[] = {
      {"text option",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"OPTION", u"x"); }, 13,
       "Type mismatch"},
      {"empty option",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"OPTION", u""); }, 13,
       "Type mismatch"},
      {"time spent text",
       [](Dictionary& d, RecordingWorld&) {
         d.Add(u"OPTION", 2);
         d.Add(u"TIMESPENT", u"x");
       },
       13, "Type mismatch"},
      {"sum overflows",
       [](Dictionary& d, RecordingWorld& w) {
         d.Add(u"OPTION", 4);
         d.Add(u"TIMESPENT", 1);
         w.script.engineer_time = 2147483647;
       },
       6, "Overflow"},
      {"null call number",
       [](Dictionary& d, RecordingWorld&) { d.Add(u"CALLNUMBER", kNull); }, 94,
       "Invalid use of Null"},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWorld world;
    Ref<Dictionary> details = MakeRef<Dictionary>();
    c.arrange(*details, world);
    Variant error = u"before";
    std::optional<ErrorInfo> raised =
        testing::RaisedBy([&] { NewCalls()->UpdateCall(details, error); });
    EXPECT_TRUE(testing::Raises(
        raised, c.number,
        FromUtf8("\r\nMETHOD: Quillet.Calls.UpdateCall caught: " +
                 c.description + "(" + std::to_string(c.number) +
                 "). Additional information: " + c.description)));
    EXPECT_EQ(raised.value_or(ErrorInfo()).source, u"Quillet.Calls");
    EXPECT_EQ(error, Variant(FromUtf8(c.description)));
    ASSERT_EQ(world.log().size(), 1u);
    EXPECT_EQ(world.Lines("Close()"), "ServiceCallManager#1.Close()");
    EXPECT_EQ(world.LiveTotal(), 0);
    EXPECT_EQ(CurrentError().number, 0);
  }
}

TEST(UpdateCallTest, FailedBindingAnswersEmptyAndStillCloses) {
  RecordingWorld world;
  world.failure.matching = "setUserInfo";
  Ref<Dictionary> details = MakeRef<Dictionary>();
  Variant error = u"kept";
  Variant result = NewCalls()->UpdateCall(details, error);
  EXPECT_TRUE(result.IsEmpty());
  EXPECT_EQ(error, Variant(u"kept"));
  EXPECT_EQ(details->Count(), 1);
  EXPECT_EQ(world.Lines("Close"), "ServiceCallManager#1.Close()");
  EXPECT_EQ(world.LiveTotal(), 0);
}

TEST(UpdateCallTest, ReadBackFollowsItsConditions) {
  using P = CallProperty;
  struct Case {
    std::vector<std::pair<P, Variant>> returned;
    std::string result;
    bool answered = true;  // false: the submit answers no response at all
  };
  const Case cases[] = {
      {{}, "{CHANGEDFLAG: Integer 2}", false},
      {{{P::LastTransactionTime, Variant::Long(0)},
        {P::Status, Variant::Byte(3)}},
       "{}"},
      {{{P::LastTransactionTime, Variant::Long(9)}},
       "{LASTTRANSTIME: Long 9, WAITINGFLAG: Byte 0}"},
      {{{P::LastTransactionTime, Variant::Long(9)},
        {P::ChangedFlag, Variant::Byte(1)},
        {P::CallNumber, u"C"},
        {P::Status, Variant::Byte(30)},
        {P::Engineer, u"E"},
        {P::WaitingFlag, Variant::Byte(2)},
        {P::WaitingDescription, u"w"},
        {P::ServiceOrder, u"S1"},
        {P::HasServiceOrder, true},
        {P::SecondaryServiceOrder, u"S2"},
        {P::HasSecondaryServiceOrder, true}},
       "{LASTTRANSTIME: Long 9, CHANGEDFLAG: Byte 1, CALLNUMBER: String \"C\", "
       "STATUS: Byte 30, SUPPORTENGCODE: String \"E\", WAITINGFLAG: Byte 2, "
       "WAITINGDESC: String \"w\", SERVICEORDER: String \"S1\"}"},
      {{{P::LastTransactionTime, Variant::Long(9)},
        {P::ServiceOrder, u"S1"},
        {P::HasServiceOrder, false},
        {P::SecondaryServiceOrder, u"S2"},
        {P::HasSecondaryServiceOrder, true}},
       "{LASTTRANSTIME: Long 9, WAITINGFLAG: Byte 0, SERVICEORDER: String "
       "\"S2\"}"},
      {{{P::LastTransactionTime, Variant::Long(9)},
        {P::ServiceOrder, u"S1"},
        {P::SecondaryServiceOrder, u"S2"}},
       "{LASTTRANSTIME: Long 9, WAITINGFLAG: Byte 0}"},
  };
  for (const Case& c : cases) {
    RecordingWorld world;
    world.script.returned = c.returned;
    world.script.update_answers_nothing = !c.answered;
    Variant error = u"kept";
    Variant result = NewCalls()->UpdateCall(OptionDetails(9), error);
    ASSERT_TRUE(result.IsObject());
    EXPECT_EQ(Show(*QueryInterface<Dictionary>(result.AsObject())), c.result);
    EXPECT_EQ(error, Variant(u"kept"));
    EXPECT_TRUE(world.log().empty());
    // Past the time, each service order's gate is read before its value.
    if (c.result.find("LASTTRANSTIME") != std::string::npos &&
        c.result.find("SERVICEORDER") == std::string::npos) {
      EXPECT_EQ(world.Lines("ServiceOrder?"),
                "ServiceCallRecord#2.HasServiceOrder?\n"
                "ServiceCallRecord#2.ServiceOrder?\n"
                "ServiceCallRecord#2.HasSecondaryServiceOrder?\n"
                "ServiceCallRecord#2.SecondaryServiceOrder?");
    }
  }
}

TEST(UpdateCallTest, FirstMessageReportedResultStillReturned) {
  RecordingWorld world;
  world.script.returned = {
      {CallProperty::LastTransactionTime, Variant::Long(0)}};
  world.script.messages = {"Call is closed", "other"};
  Variant error;
  Variant result = NewCalls()->UpdateCall(OptionDetails(1), error);
  ASSERT_TRUE(result.IsObject());
  EXPECT_EQ(Show(*QueryInterface<Dictionary>(result.AsObject())), "{}");
  EXPECT_EQ(error, Variant(u"Call is closed"));
  ASSERT_EQ(world.log().size(), 1u);
  EXPECT_EQ(world.log()[0].text,
            "Quillet.Calls.UpdateCall caught: (0). Additional information:  "
            "Additional information: Call is closed");
}

TEST(UpdateCallTest, TextsInPiecesWithTheirTextModes) {
  RecordingWorld world;
  Ref<Dictionary> details = OptionDetails(7);
  details->SetItem(u"Q_TEXT", String(2049, u'q'));
  Variant error;
  NewCalls()->UpdateCall(details, error);
  EXPECT_EQ(world.Lines("CallText#1."),
            "CallText#1.AddLine(String[2048] \"qqqqqqqqqqqqqqqqqqqq...\")\n"
            "CallText#1.TextMode = String \"a\"\n"
            "CallText#1.AddLine(String \"q\")\n"
            "CallText#1.TextMode = String \"a\"");

  RecordingWorld second;
  details = OptionDetails(6);
  details->SetItem(u"SOLUTIONTEXT", String(2049, u's'));
  NewCalls()->UpdateCall(details, error);
  EXPECT_EQ(second.Lines("SolutionText#1."),
            "SolutionText#1.AddLine(String[2048] \"ssssssssssssssssssss...\")\n"
            "SolutionText#1.AddLine(String \"s\")\n"
            "SolutionText#1.TextMode = String \"a\"");

  RecordingWorld third;
  details = OptionDetails(2);
  details->SetItem(u"SOLUTIONTEXT", u"");
  NewCalls()->UpdateCall(details, error);
  EXPECT_EQ(third.Lines("SolutionText"),
            "new SolutionText\nrelease SolutionText#1");
  EXPECT_EQ(third.Lines("Status"), "ServiceCallRecord#1.Status = Byte 15");
}

}  // namespace
}  // namespace quillet
