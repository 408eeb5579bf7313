// --dry-run and --trace on the command line.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "quillet/standins/backend_store.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

TEST(DryRunCliTest, ADryRunAnswersWhatTheRequestWouldAndStoresNothing) {
  testing::TempDir dir;
  const std::vector<std::string> create = {"create-call", "SOLDTOBP=BP-1",
                                           "Q_TEXT=" + std::string(40, 'q')};
  std::vector<std::string> dry = create;
  dry.insert(dry.end(), {"--dry-run", "--trace", dir.Path("trace.jsonl")});
  // A dry run needs a database: it creates none.
  std::ofstream(dir.Path("none.json")) << "{}";
  ASSERT_EQ(testing::RunQuillet(dir, {"backend", "load", "none.json"}).status,
            0);
  testing::CliResult first = testing::RunQuillet(dir, dry);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("dry run"), std::string::npos);
  json answer = json::parse(first.out);
  EXPECT_EQ(answer["dry_run"], true);
  EXPECT_TRUE(standins::BackendStore(dir.Path("quillet.db")).Calls().empty());

  // One JSON line per event; the text shortened to its start.
  std::ifstream in(dir.Path("trace.jsonl"));
  std::vector<json> events;
  for (std::string line; std::getline(in, line);)
    events.push_back(json::parse(line));
  ASSERT_FALSE(events.empty());
  bool submitted = false;
  for (const json& e : events) {
    submitted |= e.value("member", "") == "SubmitNewCalls";
    if (e.value("member", "") == "AddLine") {
      EXPECT_EQ(e["args"][0]["length"], 42);
      EXPECT_EQ(e["args"][0]["whole"], false);
    }
  }
  EXPECT_TRUE(submitted);

  testing::CliResult real = testing::RunQuillet(dir, create);
  ASSERT_EQ(real.status, 0) << real.err;
  json stored = json::parse(real.out);
  EXPECT_EQ(stored["result"]["CALLNUMBER"], answer["result"]["CALLNUMBER"]);

  testing::CliResult unwritable = testing::RunQuillet(
      dir, {"create-call", "SOLDTOBP=BP-1", "--trace", dir.Path("no/such")});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_EQ(standins::BackendStore(dir.Path("quillet.db")).Calls().size(), 1u);
}

}  // namespace
}  // namespace quillet::cli
