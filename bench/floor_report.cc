#include "floor_report.h"

#include <cstdio>
#include <string>
#include <utility>

namespace quillet::bench {

void FloorReport::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred) continue;
    if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
      continue;
    Result& result = results_[run.run_name.str()];
    result.real_ns = run.GetAdjustedRealTime() /
                     benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    for (const auto& [name, counter] : run.counters)
      result.counters[name] = counter.value;
  }
}

void FloorReport::Finalize() {
  auto find = [&](const std::string& name) -> const Result* {
    auto it = results_.find(name);
    return it == results_.end() ? nullptr : &it->second;
  };
  auto counter = [&](const std::string& name, const std::string& key,
                     double& out) {
    const Result* r = find(name);
    if (!r || !r->counters.contains(key)) return false;
    out = r->counters.at(key);
    return true;
  };
  std::printf("\nAgainst the floor (ratios of this run's medians):\n");
  const Result* floor_file = find("BM_Floor_InsertPerTransaction/memory:0");
  const Result* floor_ram = find("BM_Floor_InsertPerTransaction/memory:1");
  auto time_row = [&](const char* what, const std::string& name,
                      const Result* floor) {
    const Result* r = find(name);
    if (r && floor)
      std::printf("  %-58s %8.1f us / %6.1f us = %5.2fx\n", what,
                  r->real_ns / 1e3, floor->real_ns / 1e3,
                  r->real_ns / floor->real_ns);
  };
  time_row("CreateCall, WAL file / one-row INSERT per transaction",
           "BM_CreateCall_Embedded/memory:0/keyed:0", floor_file);
  time_row("same under a request key",
           "BM_CreateCall_Embedded/memory:0/keyed:1", floor_file);
  time_row("same on a RAM file system",
           "BM_CreateCall_Embedded/memory:1/keyed:0", floor_ram);
  // PostgreSQL, by rate (operations per second across all clients): the
  // floor's rate over the operation's, at each number of clients.
  for (const char* clients : {"1", "4", "8"}) {
    const Result* floor = find(
        std::string("BM_Floor_PostgresInsert/real_time/threads:") + clients);
    for (auto [what, run] :
         {std::pair{"CreateCall", "BM_CreateCall_Postgres"},
          std::pair{"UpdateCall option 2", "BM_UpdateCall_Postgres/option:2"},
          std::pair{"UpdateCall option 7",
                    "BM_UpdateCall_Postgres/option:7"}}) {
      const Result* r =
          find(std::string(run) + "/real_time/threads:" + clients);
      if (!r || !floor || !r->counters.contains("items_per_second") ||
          !floor->counters.contains("items_per_second"))
        continue;
      double mine = r->counters.at("items_per_second");
      double base = floor->counters.at("items_per_second");
      std::string row = std::string("PostgreSQL ") + what + ", " + clients +
                        " client(s): floor/s / its /s";
      std::printf("  %-58s %8.0f /s / %6.0f /s = %5.2fx", row.c_str(), base,
                  mine, base / mine);
      if (r->counters.contains("round_trips/op"))
        std::printf("  (%.1f statements, %.1f round trips)",
                    r->counters.at("statements/op"),
                    r->counters.at("round_trips/op"));
      std::printf("\n");
    }
  }
  double value = 0;
  if (floor_file && counter("BM_CreateCall_Batch", "us/call", value))
    std::printf("  %-58s %8.1f us / %6.1f us = %5.2fx\n",
                "quillet batch, per call / one-row INSERT per transaction",
                value, floor_file->real_ns / 1e3,
                value * 1e3 / floor_file->real_ns);
  if (floor_file &&
      counter("BM_CreateCall_Threads/iterations:3", "us/call", value))
    std::printf("  %-58s %8.1f us / %6.1f us = %5.2fx\n",
                "16 threads, CreateCall per call (wall) / the same floor",
                value, floor_file->real_ns / 1e3,
                value * 1e3 / floor_file->real_ns);
  for (auto [what, run] :
       {std::pair{"bytes written per call / bytes it occupies, one thread",
                  "BM_CreateCall_Embedded/memory:0/keyed:0"},
        std::pair{"the same, quillet batch", "BM_CreateCall_Batch"},
        std::pair{"the same, 16 threads",
                  "BM_CreateCall_Threads/iterations:3"}}) {
    double written = 0, stored = 0;
    if (counter(run, "written_B/call", written) &&
        counter(run, "stored_B/call", stored))
      std::printf("  %-58s %8.0f B  / %6.0f B  = %5.2fx\n", what, written,
                  stored, written / stored);
  }
  if (counter("BM_CreateCall_50MBText/iterations:1", "command_peak/text",
              value))
    std::printf("  %-58s %33.2fx\n",
                "peak resident size, one call with a 50 MB text / the text",
                value);
  for (const char* run : {"BM_CreateCall_FileGrowth/100000/iterations:1/"
                          "repeats:1",
                          "BM_CreateCall_FileGrowth/1000000/iterations:1/"
                          "repeats:1"})
    if (counter(run, "end/1k", value))
      std::printf("  %-58s %33.2fx\n",
                  std::string(run).find("/1000000/") != std::string::npos
                      ? "time per call after 1,000,000 calls / after 1,000"
                      : "time per call after 100,000 calls / after 1,000",
                  value);
  // A request key's cost, and a filtered listing page's: each against the
  // same work without it.
  const Result* keyed = find("BM_CreateCall_Embedded/memory:0/keyed:1");
  const Result* plain = find("BM_CreateCall_Embedded/memory:0/keyed:0");
  if (keyed && plain)
    std::printf("  %-58s %8.1f us / %6.1f us = %5.2fx\n",
                "CreateCall under a request key / without, WAL file",
                keyed->real_ns / 1e3, plain->real_ns / 1e3,
                keyed->real_ns / plain->real_ns);
  double keyed_written = 0, plain_written = 0;
  if (counter("BM_CreateCall_Embedded/memory:0/keyed:1", "written_B/call",
              keyed_written) &&
      counter("BM_CreateCall_Embedded/memory:0/keyed:0", "written_B/call",
              plain_written))
    std::printf("  %-58s %8.0f B  / %6.0f B  = %5.2fx\n",
                "bytes written, under a request key / without", keyed_written,
                plain_written, keyed_written / plain_written);
  for (const char* calls : {"100000", "1000000"})
    for (const char* order : {"0", "1"}) {
      std::string run = std::string("BM_ListingPage/calls:") + calls;
      const Result* all = find(run + "/filter:0/changed:" + order);
      const Result* worst = nullptr;
      for (const char* filter : {"1", "2", "3"}) {
        const Result* r = find(run + "/filter:" + filter + "/changed:" + order);
        if (r && (!worst || r->real_ns > worst->real_ns)) worst = r;
      }
      if (!all || !worst) continue;
      std::string row = std::string("slowest filtered page / unfiltered, ") +
                        (std::string(calls) == "1000000" ? "1M" : "100k") +
                        " calls" + (order[0] == '1' ? ", newest changed" : "");
      std::printf("  %-58s %8.1f us / %6.1f us = %5.2fx\n", row.c_str(),
                  worst->real_ns / 1e3, all->real_ns / 1e3,
                  worst->real_ns / all->real_ns);
    }
  std::fflush(stdout);
  ConsoleReporter::Finalize();
}

}  // namespace quillet::bench
