// The log page the console reads: filters, newest first, paging, and the
// parameters it refuses.
#include "quillet/operations/desk_reads.h"

#include <gtest/gtest.h>

#include <fstream>

#include "quillet/operations/json_variant.h"
#include "support/temp_dir.h"

namespace quillet::operations {
namespace {

TEST(DeskReadsTest, TheLogIsFilteredAndPagedNewestFirst) {
  testing::TempDir dir;
  std::string path = dir.Path("q.log");
  {
    std::ofstream log(path);
    const char* sources[] = {"Quillet.Calls", "Pellworth", "Quillet.Items"};
    for (int n = 1; n <= 9; ++n) {
      nlohmann::json entry = {
          {"time", "2026-12-0" + std::to_string(n) + "T08:00:00.000Z"},
          {"source", sources[n % 3]},
          {"text", "entry " + std::to_string(n)},
          {"number", n % 2 ? 6 : 13}};
      log << entry.dump() << "\n";
      if (n == 4) log << "not json\n";
    }
  }
  struct Case {
    QueryParams params;
    std::vector<std::string> texts;
  } cases[] = {
      {{{"tail", "3"}}, {"entry 9", "entry 8", "entry 7"}},
      {{{"tail", "3"}, {"offset", "7"}}, {"entry 2", "entry 1"}},
      {{{"offset", "20"}}, {}},
      {{{"number", "13"}, {"tail", "2"}}, {"entry 8", "entry 6"}},
      {{{"source", "Items"}}, {"entry 8", "entry 5", "entry 2"}},
      {{{"text", "entry 1"}}, {"entry 1"}},
      {{{"since", "2026-12-03T00:00:00Z"},
        {"until", "2026-12-05T08:00:00.000Z"}},
       {"entry 5", "entry 4", "entry 3"}},
      {{{"number", "6"}, {"source", "Calls"}, {"tail", "1"}, {"offset", "1"}},
       {"entry 3"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> texts;
    for (const auto& entry : LogPageJson(path, c.params))
      texts.push_back(entry["text"]);
    EXPECT_EQ(texts, c.texts) << nlohmann::json(c.params).dump();
  }
  EXPECT_TRUE(LogPageJson(dir.Path("none.log"), {}).empty());
  for (const QueryParams& bad :
       std::vector<QueryParams>{{{"tail", "10001"}},
                                {{"offset", "-1"}},
                                {{"offset", "10001"}},
                                {{"number", "6x"}},
                                {{"number", ""}},
                                {{"since", "yesterday"}},
                                {{"source", std::string(201, 's')}},
                                {{"tail", "1"}, {"tail", "2"}}})
    EXPECT_THROW(LogPageJson(path, bad), UsageError)
        << nlohmann::json(bad).dump();
}

}  // namespace
}  // namespace quillet::operations
