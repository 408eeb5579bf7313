// What the service's pages hold in memory: a listing stops at its ceiling
// and names where to go on; the audit trail is read backwards, only as far
// as the page asks, with lines of any length around the blocks it reads.
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

TEST(BoundedReadsTest, TheAuditTrailIsReadBackwardsAPageAtATime) {
  testing::TempDir dir;
  const std::string path = dir.Path("audit.jsonl");
  {
    AuditTrail trail;
    ASSERT_TRUE(trail.Open(path));
    // Lines around and across the 64 KiB blocks the reader takes, one of
    // them longer than a block.
    for (int i = 0; i < 3000; ++i)
      trail.Append(json{{"call", i % 3 == 0 ? "SC1" : "SC2"},
                        {"i", i},
                        {"pad", std::string(i == 1500 ? 70000 : i % 97, 'x')}});
  }
  std::ofstream(path, std::ios::app) << R"({"call":"SC1","i":-1)";  // torn
  AuditTrail trail;
  ASSERT_TRUE(trail.Open(path));
  struct Case {
    size_t limit;
    std::string field, value;
    std::vector<int> first;  // the newest, in order
    size_t size;
  } cases[] = {
      {5, "", "", {2999, 2998, 2997, 2996, 2995}, 5},
      {3, "call", "SC1", {2997, 2994, 2991}, 3},
      {5000, "", "", {2999}, 3000},
      {5000, "call", "SC1", {2997}, 1000},
      {4, "call", "SC9", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.limit) + " " + c.value);
    json page = trail.Read(c.limit, c.field, c.value);
    ASSERT_EQ(page.size(), c.size);
    for (size_t i = 0; i < c.first.size(); ++i)
      EXPECT_EQ(page[i]["i"], c.first[i]);
    for (size_t i = 1; i < page.size(); ++i)
      ASSERT_GT(page[i - 1]["i"], page[i]["i"]);  // newest first, none lost
  }
  EXPECT_EQ(trail.Read(5000).back()["i"], 0);
  // An entry written after the torn line is a line of its own.
  trail.Append(json{{"i", 3000}});
  EXPECT_EQ(trail.Read(1).at(0)["i"], 3000);
}

}  // namespace
}  // namespace quillet::cli::http
