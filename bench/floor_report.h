// The console report, closed by the figures that compare Quillet with the
// floor the machine sets: each a ratio of two results of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillet::bench {

class FloorReport : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Result {
    double real_ns = 0;
    double cpu_ns = 0;
    std::map<std::string, double> counters;
  };
  const Result* Find(const std::string& name) const;
  // The PostgreSQL operations, each as (what, its runs' name before the
  // commit argument).
  static std::vector<std::pair<const char*, const char*>> PostgresRuns();
  static std::string PostgresRun(const std::string& run, const char* commit,
                                 const char* clients);
  // The floor's rate and the operation's; false when either is missing.
  bool PostgresRates(const std::string& run, const char* commit,
                     const char* clients, double& floor, double& mine) const;
  // The table of the write path's targets: each measure a ratio of two
  // results of this run, its target beside it, met or missed.
  void Targets() const;

  // By run name (without the aggregate); the median where there are
  // repetitions.
  std::map<std::string, Result> results_;
};

}  // namespace quillet::bench
