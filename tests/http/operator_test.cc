// What an operator of `quillet serve` relies on: the metrics a scraper
// reads, and files that logrotate moves away and SIGHUP opens again.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "http/server_process.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::json;

// A scrape: each sample's value by its name and labels as written, and how
// often each metric's TYPE was given.
struct Scrape {
  std::map<std::string, double> samples;
  std::map<std::string, int> types;
  double operator[](const std::string& series) const {
    auto it = samples.find(series);
    return it == samples.end() ? -1 : it->second;
  }
};

Scrape Parse(const std::string& text) {
  Scrape scrape;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      ++scrape.types[line.substr(7, line.find(' ', 7) - 7)];
      continue;
    }
    if (line.rfind("#", 0) == 0) continue;
    size_t space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    scrape.samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return scrape;
}

// Requests of two statuses, then a scrape: each operation and status has
// a histogram whose buckets are cumulative and whose +Inf bucket and count
// are the requests made; every request was one write of a group commit;
// the stored calls are the rows of the calls table; every metric is typed
// once.
TEST(OperatorTest, MetricsCountEveryRequestInCumulativeHistograms) {
  testing::TempDir dir;
  ServerProcess server(dir, {});
  ASSERT_GT(server.port(), 0);
  httplib::Client client = server.Client();
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(
        client.Post("/calls", R"({"SOLDTOBP":"BP-1"})", "application/json")
            ->status,
        201);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(
        client.Post("/calls", R"({"SITE":"x"})", "application/json")->status,
        424);
  // The service records each refusal in the event log, a write of its own
  // made on a thread of its own: waited for (up to 5 s).
  for (int i = 0; i < 50; ++i) {
    httplib::Result audit = client.Get("/audit?tail=20");
    if (audit &&
        audit->body.find(R"("outcome":"refused: 424)") != std::string::npos &&
        nlohmann::json::parse(audit->body).size() == 8)
      break;
    usleep(100000);
  }
  httplib::Result r = client.Get("/metrics");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  Scrape m = Parse(r->body);
  for (const auto& [name, count] : m.types) EXPECT_EQ(count, 1) << name;
  const std::string h = "quillet_request_duration_seconds";
  for (const auto& [status, made] : {std::pair{"201", 5}, {"424", 3}}) {
    SCOPED_TRACE(status);
    std::string labels =
        std::string("op=\"create-call\",status=\"") + status + "\"";
    double last = 0;
    for (const char* le : {"0.0005", "0.001", "0.005", "0.1", "2.5", "+Inf"}) {
      double bucket = m[h + "_bucket{" + labels + ",le=\"" + le + "\"}"];
      EXPECT_GE(bucket, last) << le;
      last = bucket;
    }
    EXPECT_EQ(last, made);
    EXPECT_EQ(m[h + "_count{" + labels + "}"], made);
    EXPECT_GT(m[h + "_sum{" + labels + "}"], 0);
    EXPECT_EQ(m["quillet_requests_total{" + labels + "}"], made);
  }
  // Each create-call is one write of a group, the ones the rules refused
  // too (their transaction stores no call), and so is each refusal the
  // service recorded; the event log's pruning at start is one more (made
  // on its own thread: perhaps not yet).
  EXPECT_GE(m["quillet_write_group_writes_sum"], 8 + 3);
  EXPECT_LE(m["quillet_write_group_writes_sum"], 8 + 3 + 1);
  EXPECT_GE(m["quillet_write_group_writes_count"], 1);
  EXPECT_EQ(m["quillet_write_group_commit_seconds_count"],
            m["quillet_write_group_writes_count"]);
  EXPECT_EQ(m["quillet_write_group_writes_bucket{le=\"+Inf\"}"],
            m["quillet_write_group_writes_count"]);
  EXPECT_EQ(m["quillet_backend_rows{table=\"calls\"}"], 5);
  EXPECT_EQ(m["quillet_backend_rows{table=\"request_keys\"}"], 0);
  EXPECT_GT(m["quillet_database_bytes"], 0);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Requests go on while the log, the trace and the --audit mirror are moved
// away and the service gets SIGHUP: each file is made anew, a request
// after the reopen is in the new files, and every line of old and new is
// whole (the log and the --audit mirror have one line per request).
TEST(OperatorTest, SighupOpensMovedFilesAgainWithoutTearingALine) {
  testing::TempDir dir;
  const std::vector<std::string> files = {"quillet.log", "trace.jsonl",
                                          "audit.jsonl"};
  ServerProcess server(
      dir, {"--log", dir.Path(files[0]), "--trace", dir.Path(files[1]),
            "--audit", dir.Path(files[2])});
  ASSERT_GT(server.port(), 0);
  std::atomic<int> made{0};
  std::atomic<bool> stop{false};
  auto refused_call = [&](httplib::Client& client, const char* key) {
    httplib::Result r = client.Post("/calls", {{"Idempotency-Key", key}},
                                    R"({"SITE":"x"})", "application/json");
    EXPECT_TRUE(r && r->status == 424);
    ++made;
  };
  std::thread writer([&] {
    httplib::Client client = server.Client();
    for (int i = 0; i < 5000 && !stop; ++i)
      refused_call(client, ("during-" + std::to_string(i)).c_str());
  });
  auto wait_for = [&](int requests) {
    for (int i = 0; i < 200 && made < requests; ++i) usleep(20000);
  };
  wait_for(20);
  for (const std::string& f : files)
    EXPECT_EQ(std::rename(dir.Path(f).c_str(), dir.Path(f + ".1").c_str()), 0);
  server.Signal(SIGHUP);
  auto reopened = [&] {
    std::ifstream err(dir.Path("serve.err"));
    std::string text((std::istreambuf_iterator<char>(err)), {});
    return text.find("files opened again") != std::string::npos;
  };
  for (int i = 0; i < 250 && !reopened(); ++i) usleep(20000);
  if (reopened()) wait_for(made + 20);
  stop = true;
  writer.join();
  ASSERT_TRUE(reopened());
  httplib::Client client = server.Client();
  refused_call(client, "after-rotation");
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  std::map<std::string, size_t> lines;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    std::vector<std::string> fresh = Lines(dir.Path(f));
    std::vector<std::string> old = Lines(dir.Path(f + ".1"));
    EXPECT_FALSE(fresh.empty());
    EXPECT_FALSE(old.empty());
    for (const auto* set : {&fresh, &old})
      for (const std::string& line : *set)
        EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << line;
    lines[f] = fresh.size() + old.size();
    if (f == "audit.jsonl" && !fresh.empty()) {
      EXPECT_EQ(json::parse(fresh.back())["key"], "after-rotation");
    }
  }
  EXPECT_EQ(lines["quillet.log"], static_cast<size_t>(made.load()));
  EXPECT_EQ(lines["audit.jsonl"], static_cast<size_t>(made.load()));
}

}  // namespace
}  // namespace quillet::cli
