// What the service's pages hold in memory: a listing stops at its ceiling
// and names where to go on.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "http/audit.h"
#include "http/capped_listing.h"
#include "support/temp_dir.h"

namespace quillet::cli::http {
namespace {

using json = nlohmann::ordered_json;

TEST(BoundedReadsTest, AListingStopsAtItsCeilingAndSaysWhereToGoOn) {
  struct Case {
    size_t ceiling, elements, kept;
    const char* next;  // Quillet-Next-After, "" for none
  } cases[] = {
      {1 << 20, 3, 3, ""},         // all fit
      {60, 10, 2, "S%2F1%C3%A9"},  // stops after the second, encoded
      {10, 2, 1, "S-0"},           // larger than a page: alone, then go on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ceiling);
    CappedListing listing(c.ceiling);
    size_t added = 0;
    try {
      for (size_t i = 0; i < c.elements; ++i) {
        std::string name = i == 1 ? "S/1\xC3\xA9" : "S-" + std::to_string(i);
        listing.Add(json{{"serial", name}, {"n", i}}, name);
        ++added;
      }
    } catch (const CappedListing::Full&) {
    }
    Response answer = std::move(listing).Answer();
    EXPECT_EQ(added, c.kept);
    json body = json::parse(answer.body);
    ASSERT_EQ(body.size(), c.kept) << answer.body;
    if (c.kept > 1) {
      EXPECT_LE(answer.body.size(), c.ceiling);
    }
    std::string next;
    for (const auto& [name, value] : answer.headers)
      if (name == "Quillet-Next-After") next = value;
    EXPECT_EQ(next, c.next);
  }
}

// The --audit mirror: a line torn by a crash is ended when the file is
// opened again, so that the next entry is a line of its own.
TEST(BoundedReadsTest, TheAuditMirrorEndsATornLine) {
  testing::TempDir dir;
  const std::string path = dir.Path("audit.jsonl");
  std::ofstream(path) << R"({"call":"SC1","i":-1)";  // torn
  {
    AuditTrail trail;
    ASSERT_TRUE(trail.Open(path));
    trail.Append(json{{"i", 1}});
  }
  std::ifstream in(path);
  std::string torn, line;
  ASSERT_TRUE(std::getline(in, torn));
  ASSERT_TRUE(std::getline(in, line));
  json entry = json::parse(line);
  EXPECT_EQ(entry["i"], 1);
  EXPECT_TRUE(entry.contains("time"));
}

}  // namespace
}  // namespace quillet::cli::http
