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
    result.cpu_ns = run.GetAdjustedCPUTime() /
                    benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    for (const auto& [name, counter] : run.counters)
      result.counters[name] = counter.value;
  }
}

const FloorReport::Result* FloorReport::Find(const std::string& name) const {
  auto it = results_.find(name);
  return it == results_.end() ? nullptr : &it->second;
}

std::vector<std::pair<const char*, const char*>> FloorReport::PostgresRuns() {
  return {{"CreateCall", "BM_CreateCall_Postgres/"},
          {"UpdateCall option 2", "BM_UpdateCall_Postgres/option:2/"},
          {"UpdateCall option 7", "BM_UpdateCall_Postgres/option:7/"}};
}

std::string FloorReport::PostgresRun(const std::string& run, const char* commit,
                                     const char* clients) {
  return run + "commit:" + commit + "/real_time/threads:" + clients;
}

bool FloorReport::PostgresRates(const std::string& run, const char* commit,
                                const char* clients, double& floor,
                                double& mine) const {
  const Result* r = Find(PostgresRun(run, commit, clients));
  const Result* f =
      Find(PostgresRun("BM_Floor_PostgresInsert/", commit, clients));
  if (!r || !f || !r->counters.contains("items_per_second") ||
      !f->counters.contains("items_per_second"))
    return false;
  floor = f->counters.at("items_per_second");
  mine = r->counters.at("items_per_second");
  return mine > 0;
}

void FloorReport::Finalize() {
  auto find = [&](const std::string& name) { return Find(name); };
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
  // floor's rate over the operation's, at each number of clients, with
  // commits slow (0) and cheap (1).
  for (const char* commit : {"0", "1"})
    for (const char* clients : {"1", "4", "8"})
      for (auto [what, run] : PostgresRuns()) {
        double base = 0, mine = 0;
        if (!PostgresRates(run, commit, clients, base, mine)) continue;
        const Result* r = find(PostgresRun(run, commit, clients));
        std::string row = std::string("PostgreSQL ") + what + ", " + clients +
                          " client(s), commits " +
                          (commit[0] == '1' ? "cheap" : "slow") +
                          ": floor/s / its /s";
        std::printf("  %-58s %8.0f /s / %6.0f /s = %5.2fx", row.c_str(), base,
                    mine, base / mine);
        if (r->counters.contains("round_trips/op"))
          std::printf("  (%.1f statements, %.1f round trips)",
                      r->counters.at("statements/op"),
                      r->counters.at("round_trips/op"));
        std::printf("\n");
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
  Targets();
  std::fflush(stdout);
  ConsoleReporter::Finalize();
}

void FloorReport::Targets() const {
  std::printf(
      "\nThe write path against its targets (ratios of this run's medians; "
      "`make bench`):\n");
  std::printf("  %-66s %-26s %7s %7s\n", "measure", "figures", "ratio",
              "target");
  // A row: `mine` against `base`, printed in `unit`; met when the ratio is
  // at most `target` (at least, where `at_least`).
  auto row = [](const std::string& what, double mine, double base,
                const char* unit, double target, bool at_least = false) {
    double ratio = mine / base;
    bool met = at_least ? ratio >= target : ratio <= target;
    char figures[64];
    std::snprintf(figures, sizeof figures, "%.1f / %.1f %s", mine, base, unit);
    std::printf("  %-66s %-26s %6.2fx %s %4.2g  %s\n", what.c_str(), figures,
                ratio, at_least ? ">=" : "<=", target, met ? "met" : "MISSED");
  };
  auto missing = [](const std::string& what, const char* why) {
    std::printf("  %-66s (%s)\n", what.c_str(), why);
  };
  auto counter = [&](const std::string& name, const std::string& key,
                     double& out) {
    const Result* r = Find(name);
    if (!r || !r->counters.contains(key)) return false;
    out = r->counters.at(key);
    return true;
  };
  const std::string plain = "BM_CreateCall_Embedded/memory:0/keyed:0";
  const std::string keyed = "BM_CreateCall_Embedded/memory:0/keyed:1";
  const Result* floor_file = Find("BM_Floor_InsertPerTransaction/memory:0");
  const Result* floor_ram = Find("BM_Floor_InsertPerTransaction/memory:1");
  const Result* create = Find(plain);
  const Result* create_ram = Find("BM_CreateCall_Embedded/memory:1/keyed:0");
  const Result* create_keyed = Find(keyed);
  if (create && floor_file) {
    row("CreateCall on a WAL file / one-row INSERT per transaction",
        create->real_ns / 1e3, floor_file->real_ns / 1e3, "us", 2);
    row("CPU per CreateCall / the floor's CPU (WAL file)", create->cpu_ns / 1e3,
        floor_file->cpu_ns / 1e3, "us", 2.5);
  }
  if (create_ram && floor_ram)
    row("the same on a RAM file system", create_ram->real_ns / 1e3,
        floor_ram->real_ns / 1e3, "us", 2.5);
  double mine = 0, base = 0;
  if (counter(plain, "written_B/call", mine) &&
      counter("BM_Floor_InsertPerTransaction/memory:0", "written_B/call", base))
    row("bytes written per single create / the floor's per commit", mine, base,
        "B", 1.3);
  if (create && create_keyed)
    row("CreateCall under a request key / without: time",
        create_keyed->real_ns / 1e3, create->real_ns / 1e3, "us", 1.2);
  if (counter(keyed, "written_B/call", mine) &&
      counter(plain, "written_B/call", base))
    row("CreateCall under a request key / without: bytes written", mine, base,
        "B", 1.2);
  if (floor_file && counter("BM_CreateCall_Batch", "us/call", mine))
    row("`quillet batch`, per call / floor", mine, floor_file->real_ns / 1e3,
        "us", 2);
  if (floor_file &&
      counter("BM_CreateCall_Threads/iterations:3", "us/call", mine))
    row("16 threads, per call (wall) / floor", mine, floor_file->real_ns / 1e3,
        "us", 1);
  missing("`POST /calls` at 16 connections / in-process CreateCall",
          "printed by bench/http_load.sh, target >= 1.5x");
  // PostgreSQL: the floor's rate over the operation's (a ratio of times).
  for (const char* commit : {"1", "0"}) {
    const char* how = commit[0] == '1' ? "cheap" : "slow";
    for (const char* clients : {"1", "4", "8"}) {
      double floor = 0, its = 0;
      if (PostgresRates("BM_CreateCall_Postgres/", commit, clients, floor, its))
        row(std::string("PostgreSQL CreateCall, ") + clients +
                " client(s), commits " + how + " / its floor",
            1e6 / its, 1e6 / floor, "us", 1.5);
    }
    double floor = 0, its = 0;
    if (PostgresRates("BM_UpdateCall_Postgres/option:2/", commit, "8", floor,
                      its))
      row(std::string("PostgreSQL UpdateCall option 2, 8 clients, commits ") +
              how + " / its floor",
          1e6 / its, 1e6 / floor, "us", 2);
  }
  if (!Find(PostgresRun("BM_Floor_PostgresInsert/", "0", "1")))
    missing("PostgreSQL rows", "no PostgreSQL server could start");
  // The benchmark's own count of the command's peak holds this process's
  // peak too (the command is spawned from it): the script runs it alone.
  missing("a 50 MB text, peak resident size of create-call / the text",
          "printed by bench/text_memory.sh, target <= 3x");
  for (const char* calls : {"1000000", "100000"}) {
    std::string run = std::string("BM_ListingPage/calls:") + calls;
    const Result* all = Find(run + "/filter:0/changed:1");
    const Result* worst = nullptr;
    for (const char* filter : {"1", "2", "3"}) {
      const Result* r = Find(run + "/filter:" + filter + "/changed:1");
      if (r && (!worst || r->real_ns > worst->real_ns)) worst = r;
    }
    if (!all || !worst) continue;
    row(std::string("a filtered page in last-change order / unfiltered, ") +
            (std::string(calls).size() == 7 ? "1,000,000" : "100,000") +
            " calls",
        worst->real_ns / 1e3, all->real_ns / 1e3, "us", 2);
  }
  // A write's event row, once the store keeps one: a create with it
  // against the same create without it.
  const Result* evented = Find("BM_CreateCall_Event/event:1");
  const Result* unevented = Find("BM_CreateCall_Event/event:0");
  if (evented && unevented)
    row("event cost: CreateCall with its event row / without",
        evented->real_ns / 1e3, unevented->real_ns / 1e3, "us", 1.1);
  else
    missing("event cost: CreateCall with its event row / without",
            "no event row in this store yet");
}

}  // namespace quillet::bench
