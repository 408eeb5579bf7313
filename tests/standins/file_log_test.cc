#include "quillet/standins/file_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "quillet/calls.h"
#include "quillet/error.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "reporting/toliva_utilities.h"
#include "support/raises.h"
#include "support/temp_dir.h"

namespace quillet::standins {
namespace {

std::vector<nlohmann::json> Entries(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    out.push_back(nlohmann::json::parse(line));
  return out;
}

TEST(FileLogTest, OneJsonLinePerEntryWithItsContext) {
  testing::TempDir dir;
  std::string path = dir.Path("log.jsonl");
  RegisterFileLog(path);
  TolivaUtilities::LogError(u"M.Outside", Variant(u"ü"));
  {
    TransactionScope scope;
    TolivaUtilities::LogError(u"M.Inside");
  }
  std::vector<nlohmann::json> entries = Entries(path);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["text"],
            "M.Outside caught: (0). Additional information: \xc3\xbc");
  EXPECT_EQ(entries[0]["source"], "");
  EXPECT_EQ(entries[0]["number"], 0);
  EXPECT_TRUE(entries[0]["context"].is_null());
  EXPECT_TRUE(entries[1]["context"].is_string());
  EXPECT_EQ(entries[1]["context"].get<std::string>().rfind("ctx-", 0), 0u);
  EXPECT_EQ(entries[0]["time"].get<std::string>().size(), 24u);
  EXPECT_TRUE(entries[0]["pid"].is_number_integer());
}

TEST(FileLogTest, ConcurrentEntriesNeverInterleave) {
  testing::TempDir dir;
  std::string path = dir.Path("log.jsonl");
  RegisterFileLog(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i)
        TolivaUtilities::LogError(u"M", Variant(String(500, u'x')));
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Entries(path).size(), 800u);  // every line parses
}

TEST(FileLogTest, AnUnwritableFileFailsWriteEntryWith75) {
  testing::TempDir dir;
  RegisterFileLog(dir.Path(""));  // a folder, not a file
  std::optional<ErrorInfo> raised =
      testing::RaisedBy([] { TolivaUtilities::LogError(u"M"); });
  EXPECT_TRUE(testing::Raises(raised, errors::kPathFileAccess));
  EXPECT_NE(ToUtf8(raised.value_or(ErrorInfo()).description)
                .find("cannot open log file"),
            std::string::npos);
}

}  // namespace
}  // namespace quillet::standins
