// The console report, closed by the figures that compare Quillet with the
// floor the machine sets: each a ratio of two results of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace quillet::bench {

class FloorReport : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Result {
    double real_ns = 0;
    std::map<std::string, double> counters;
  };
  // By run name (without the aggregate); the median where there are
  // repetitions.
  std::map<std::string, Result> results_;
};

}  // namespace quillet::bench
