// The command line's contract, through the built executable.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "quillet/operations/context.h"
#include "quillet/operations/events.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

class CliTest : public ::testing::Test, protected testing::CliFolder {};

TEST_F(CliTest, CreateAndUpdateCallPrintOneJsonObject) {
  testing::CliResult created =
      Quillet({"--actor", "alice", "create-call", "SOLDTOBP=BP-1", "PRIORITY=3",
               "Q_TEXT=hi"});
  ASSERT_EQ(created.status, 0) << created.err;
  json out = json::parse(created.out);
  EXPECT_EQ(out["result"]["CALLNUMBER"], "SC000001");
  EXPECT_TRUE(out["errorDescription"].is_null());
  EXPECT_FALSE(out.contains("error"));

  testing::CliResult raised =
      Quillet({"update-call", "--details",
               R"({"CALLNUMBER":"SC000001","OPTION":"x"})"});
  EXPECT_EQ(raised.status, 1);
  out = json::parse(raised.out);
  EXPECT_TRUE(out["result"].is_null());
  EXPECT_EQ(out["error"]["number"], 13);
  EXPECT_EQ(out["error"]["source"], "Quillet.Calls");
  EXPECT_EQ(out["errorDescription"], "Type mismatch");
  EXPECT_NE(
      raised.err.find("quillet: error 13: METHOD: Quillet.Calls.UpdateCall"),
      std::string::npos);

  testing::CliResult stored = Quillet({"calls", "SC000001", "--json"});
  ASSERT_EQ(stored.status, 0);
  out = json::parse(stored.out);
  EXPECT_EQ(out["Priority"], 3);
  EXPECT_EQ(out["OriginCode"], 40);
  EXPECT_EQ(out["Text"], json::array({"hi\r\n"}));
  EXPECT_EQ(out["SolutionText"], json::array());
  json call = out;

  // Each write carried out is one event, by whom and through what; the
  // update that raised is none. The call was created when its first event
  // says.
  ASSERT_EQ(
      Quillet({"update-call", "CALLNUMBER=SC000001", "OPTION=1", "PROBLEM=jam"})
          .status,
      0);
  operations::Context context;
  operations::BackendSetup backend;
  backend.db = dir.Path("quillet.db");
  backend.context = &context;
  json events = operations::ReadEvents(backend, {}).events;
  ASSERT_EQ(events.size(), 2u) << events.dump();
  EXPECT_EQ(events[0]["actor"], "alice");
  EXPECT_EQ(events[0]["channel"], "command");
  EXPECT_EQ(events[0]["operation"], "create-call");
  EXPECT_TRUE(events[0]["option"].is_null());
  EXPECT_EQ(events[0]["call"], "SC000001");
  EXPECT_EQ(events[0]["outcome"], "created");
  EXPECT_EQ(events[0]["changes"]["Priority"], 3);
  EXPECT_EQ(events[0]["changes"]["Text"],
            json({{"text", "hi\r\n"}, {"length", 4}, {"mode", "replace"}}));
  EXPECT_EQ(call["created"], events[0]["at"]);
  EXPECT_EQ(events[1]["actor"], getpwuid(geteuid())->pw_name);
  EXPECT_EQ(events[1]["operation"], "update-call");
  EXPECT_EQ(events[1]["option"], 1);
  EXPECT_EQ(events[1]["outcome"], "changed");
  EXPECT_EQ(events[1]["changes"]["Status"], 15);
  // A call without a status is a new one: it was 0.
  EXPECT_EQ(events[1]["changes"]["before"]["Status"], 0) << events[1];
  EXPECT_GT(events[1]["position"], events[0]["position"]);
}

TEST_F(CliTest, TimeFormatKeepsTheJsonTypes) {
  struct Case {
    std::string value;
    int status;
    json result;
  };
  const Case cases[] = {
      {"90", 0, {{"type", "Long"}, {"value", 130}}},
      {"\"125\"", 0, {{"type", "Long"}, {"value", 205}}},
      {"89.5", 0, {{"type", "Long"}, {"value", 130}}},
      {"0", 0, {{"type", "Integer"}, {"value", 0}}},
      {"null", 1, {{"type", "Empty"}, {"value", nullptr}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    testing::CliResult r = Quillet({"--types", "time-format", c.value});
    EXPECT_EQ(r.status, c.status);
    json out = json::parse(r.out);
    if (c.status == 0) {
      EXPECT_EQ(out["result"], c.result);
    } else {
      EXPECT_EQ(out["error"]["number"], 94);
    }
  }
}

TEST_F(CliTest, ItemsFromJsonAndCsvWithRefusals) {
  Write("item.csv", "SERIALNUMBER,S-1\nITEM,\"PRN, large\"\n");
  testing::CliResult r =
      Quillet({"create-item", "--component", "Items", "--values", "item.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json::parse(r.out),
            json({{"result", nullptr}, {"errorText", nullptr}}));
  r = Quillet({"create-item", "--component", "Items", "--values",
               R"([["SERIALNUMBER","S-1"],["ITEM","X"]])", "--error", ""});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(json::parse(r.out)["errorText"],
            "Serialized item 'S-1' already exists");
  r = Quillet({"items", "S-1", "--json"});
  EXPECT_EQ(json::parse(r.out)["fields"]["ITEM"], "PRN, large");
  r = Quillet({"log", "--json"});
  EXPECT_EQ(json::parse(r.out)["text"].get<std::string>().find(
                "Quillet.Calls.CreateSerializedItem(ERP error)"),
            0u);
}

TEST_F(CliTest, UnderATransactionTheLogRecordsTheContext) {
  EXPECT_EQ(Quillet({"update-call", "OPTION=x"}).status, 1);
  EXPECT_EQ(Quillet({"--transaction", "update-call", "OPTION=x"}).status, 1);
  testing::CliResult log = Quillet({"log", "--json"});
  std::istringstream lines(log.out);
  std::string outside, inside;
  std::getline(lines, outside);
  std::getline(lines, inside);
  EXPECT_TRUE(json::parse(outside)["context"].is_null());
  EXPECT_EQ(json::parse(inside)["context"].get<std::string>().rfind("ctx-", 0),
            0u);
  EXPECT_EQ(
      Quillet({"log", "--tail", "1"})
          .out.find("Quillet.Calls.UpdateCall caught: Type mismatch(13)."),
      41u);  // after the time stamp and the source
}

TEST_F(CliTest, BatchGoesOnPastABadLine) {
  Write("ops.jsonl", R"({"op":"create-call","details":{"SOLDTOBP":"BP-1"}})"
                     "\n"
                     "this is not json\n"
                     R"({"op":"time-format","value":"x"})"
                     "\n"
                     R"({"op":"create-call","details":{"SOLDTOBP":"BP-2"}})"
                     "\n");
  testing::CliResult r = Quillet({"batch", "ops.jsonl"});
  EXPECT_EQ(r.status, 5);
  std::vector<json> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);)
    lines.push_back(json::parse(line));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["result"]["CALLNUMBER"], "SC000001");
  EXPECT_EQ(lines[1]["line"], 2);
  EXPECT_TRUE(lines[1].contains("usage"));
  EXPECT_EQ(lines[2]["error"]["number"], 13);
  EXPECT_EQ(lines[3]["result"]["CALLNUMBER"], "SC000002");
  EXPECT_NE(r.err.find("quillet: line 2 is not valid JSON: parse error at "
                       "line 1, column 2"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("batch: 4 operations, 2 returned, 1 raised or recorded "
                       "nothing, 1 bad "
                       "lines"),
            std::string::npos);
}

}  // namespace
}  // namespace quillet::cli
