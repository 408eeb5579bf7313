// Every call site of every operation, failed in turn: once only the Nth call
// and once every call from the Nth on, for N = 1, 2, ... until the operation
// no longer reaches N. The sites are the clean run's journal, which the
// golden journals of the operations' own tests pin line by line; no second
// list is kept here. Each run must end as its operation's failure rules say,
// with every object it created released and the manager closed exactly when
// one exists.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "quillet/text.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

using adapter::CallProperty;
using testing::RecordingWorld;

enum class Op { kCreate, kUpdate, kCreateItem, kUpdateItem };

struct Scenario {
  std::string name;
  Op op;
  std::function<void(Dictionary&, RecordingWorld&)> arrange;
};

// "ServiceCallRecord#2.Status?" -> "ServiceCallRecord.Status?";
// "CallText#1.AddLine(String \"x\")" -> "CallText.AddLine".
std::string Site(const std::string& line) {
  std::string s = std::regex_replace(line, std::regex("#[0-9]+"), "");
  size_t cut = s.find_first_of("(=");
  if (cut != std::string::npos) s = s.substr(0, cut);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct Outcome {
  bool raised = false;
  ErrorInfo error;
  Variant result;
  Variant description;
};

Outcome RunOnce(const Scenario& sc, RecordingWorld& world) {
  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"COMPONENT", u"Desk");
  details->Add(u"SOLDTOBP", u"BP-1");
  details->Add(u"Q_TEXT", String(2100, u'q'));
  details->Add(u"SOLUTIONTEXT", u"fixed");
  sc.arrange(*details, world);
  Outcome out;
  out.description = u"before";
  Ref<CallsInterface> calls = NewCalls();
  try {
    if (sc.op == Op::kCreate) {
      out.result = Variant(calls->CreateCall(details, out.description));
    } else if (sc.op == Op::kUpdate) {
      out.result = calls->UpdateCall(details, out.description);
    } else {
      SafeArray a(ElementType::Variant, {{0, 2}, {0, 2}});
      a.Set({0, 0}, u"SERIALNUMBER");
      a.Set({0, 1}, u"S-1");
      Variant values = std::move(a), component = u"Items";
      out.result =
          sc.op == Op::kCreateItem
              ? calls->CreateSerializedItem(values, component, out.description)
              : calls->UpdateSerializedItem(values, component, out.description);
    }
  } catch (const Error& e) {
    out.raised = true;
    out.error = e.info();
  }
  return out;
}

std::string MethodOf(Op op) {
  switch (op) {
    case Op::kCreate:
      return "Quillet.Calls.CreateCall";
    case Op::kUpdate:
      return "Quillet.Calls.UpdateCall";
    case Op::kCreateItem:
      return "Quillet.Calls.CreateSerializedItem";
    case Op::kUpdateItem:
      return "Quillet.Calls.UpdateSerializedItem";
  }
  return "";
}

size_t FailureEntries(const RecordingWorld& world) {
  size_t n = 0;
  for (const testing::LogEntry& e : world.log())
    if (e.text.find("caught: Injected failure") != std::string::npos) ++n;
  return n;
}

size_t MessageEntries(const RecordingWorld& world) {
  size_t n = 0;
  for (const testing::LogEntry& e : world.log())
    if (e.text.find("caught: (0).") != std::string::npos) ++n;
  return n;
}

// Checks one run with failures injected; answers a description for traces.
void CheckRun(const Scenario& sc, const RecordingWorld& world,
              const Outcome& out, int n, bool from_on) {
  SCOPED_TRACE(sc.name + " failing call " + std::to_string(n) +
               (from_on ? " and on" : " only"));
  EXPECT_EQ(world.LiveTotal(), 0) << world.Journal();
  EXPECT_EQ(CurrentError().number, 0);

  std::vector<std::string> failed;
  for (const std::string& line : world.journal())
    if (line.size() > 8 && line.compare(line.size() - 8, 8, " !failed") == 0)
      failed.push_back(line.substr(0, line.size() - 8));
  ASSERT_FALSE(failed.empty());
  const std::string& first = failed.front();
  bool manager_made = !world.Lines("new ServiceCallManager").empty() &&
                      first != "new ServiceCallManager";
  bool is_call = sc.op == Op::kCreate || sc.op == Op::kUpdate;
  if (is_call) {
    EXPECT_EQ(!world.Lines(".Close()").empty(), manager_made)
        << world.Journal();
  }
  bool in_binding = first.find("UserSession") != std::string::npos ||
                    first.find(".Initialize(") != std::string::npos;
  // A Close that fails inside the failure path is not trapped again.
  bool close_escaped = out.raised &&
                       failed.back().find(".Close()") != std::string::npos &&
                       out.error.description.find(u"METHOD:") == String::npos;
  std::string injected = "Injected failure at " + first;

  if (close_escaped) {
    EXPECT_TRUE(from_on || failed.size() == 1);
    EXPECT_EQ(out.error.number, testing::kInjectedNumber);
    return;
  }
  if (is_call && in_binding) {
    // Binding absorbed it: logged once by the binding, no result keys.
    EXPECT_FALSE(out.raised);
    EXPECT_EQ(out.description, Variant(u"before"));
    ASSERT_GE(world.log().size(), 1u);
    EXPECT_EQ(
        world.log()[0].text.rfind(
            "Quillet.TolivaInclude.BindAdapterSession caught: " + injected, 0),
        0u);
    if (sc.op == Op::kCreate) {
      auto d = QueryInterface<Dictionary>(out.result.AsObject());
      ASSERT_TRUE(d);
      EXPECT_EQ(d->Count(), 0);
    } else {
      EXPECT_TRUE(out.result.IsEmpty());
    }
    return;
  }
  if (sc.op == Op::kCreate) {
    EXPECT_FALSE(out.raised);
    EXPECT_FALSE(out.result.AsObject()) << "no partial result";
    EXPECT_EQ(ToUtf8(ToString(out.description)), injected);
    // A back-end message may have been logged before the failure came.
    ASSERT_EQ(world.log().size(),
              FailureEntries(world) + MessageEntries(world));
    EXPECT_EQ(FailureEntries(world), 1u);
    EXPECT_EQ(world.log().back().text,
              MethodOf(sc.op) + " caught: " + injected +
                  "(1001). Additional information: " + injected);
    return;
  }
  ASSERT_TRUE(out.raised) << world.Journal();
  EXPECT_EQ(out.error.number, testing::kInjectedNumber);
  EXPECT_EQ(out.error.source, u"Holmfast.Adapter");
  EXPECT_EQ(ToUtf8(out.error.description),
            "\r\nMETHOD: " + MethodOf(sc.op) + " caught: " + injected +
                "(1001). Additional information: " + injected);
  EXPECT_EQ(FailureEntries(world), 1u);
  EXPECT_EQ(world.log().size(), FailureEntries(world) + MessageEntries(world));
  if (is_call) {
    EXPECT_EQ(ToUtf8(ToString(out.description)), injected);
  }
}

std::vector<Scenario> Scenarios() {
  auto returned = [](RecordingWorld& w) {
    w.script.returned = {{CallProperty::CallNumber, u"C-1"},
                         {CallProperty::LastTransactionTime, Variant::Long(5)},
                         {CallProperty::WarrantyFlag, Variant::Byte(1)},
                         {CallProperty::HasServiceOrder, true},
                         {CallProperty::ServiceOrder, u"SO-1"}};
  };
  std::vector<Scenario> all;
  all.push_back({"create with a message", Op::kCreate,
                 [&](Dictionary&, RecordingWorld& w) {
                   returned(w);
                   w.script.messages = {"complaint"};
                 }});
  for (int option = 0; option <= 9; ++option) {
    all.push_back({"update option " + std::to_string(option), Op::kUpdate,
                   [=](Dictionary& d, RecordingWorld& w) {
                     d.Add(u"OPTION", option);
                     returned(w);
                   }});
  }
  all.push_back({"update answered nothing", Op::kUpdate,
                 [](Dictionary& d, RecordingWorld& w) {
                   d.Add(u"OPTION", 9);
                   w.script.update_answers_nothing = true;
                 }});
  all.push_back({"update with a message", Op::kUpdate,
                 [&](Dictionary& d, RecordingWorld& w) {
                   d.Add(u"OPTION", 9);
                   returned(w);
                   w.script.messages = {"closed"};
                 }});
  all.push_back({"create item refused", Op::kCreateItem,
                 [](Dictionary&, RecordingWorld& w) {
                   w.script.on_serialized_item =
                       [](Variant&, Variant&, Variant& e) { e = u"duplicate"; };
                 }});
  all.push_back(
      {"update item", Op::kUpdateItem, [](Dictionary&, RecordingWorld&) {}});
  return all;
}

TEST(FaultSweepTest, EveryCallSiteFailedInTurn) {
  int runs = 0, sites = 0;
  for (const Scenario& sc : Scenarios()) {
    SCOPED_TRACE(sc.name);
    int total = 0;
    {
      RecordingWorld clean;
      Outcome out = RunOnce(sc, clean);
      EXPECT_FALSE(out.raised);
      total = clean.calls();
      std::set<std::string> seen;
      for (const std::string& line : clean.AdapterCalls())
        seen.insert(Site(line));
      EXPECT_EQ(clean.LiveTotal(), 0);
      sites += static_cast<int>(seen.size());
    }
    for (int n = 1; n <= total; ++n) {
      for (bool from_on : {false, true}) {
        RecordingWorld world;
        world.failure = {.at = n, .from_on = from_on};
        Outcome out = RunOnce(sc, world);
        CheckRun(sc, world, out, n, from_on);
        ++runs;
      }
    }
  }
  RecordProperty("runs", runs);
  RecordProperty("call_sites", sites);
  EXPECT_GT(runs, 500);
}

}  // namespace
}  // namespace quillet
