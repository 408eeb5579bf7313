// Reading a JSON object of many keys, as the command and the service read
// every request (key order kept, a key given twice refused): the time per
// key stays the same from 1,000 keys to 200,000 (a body inside the
// service's size limit must not cost seconds).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "input.h"

namespace quillet::bench {
namespace {

std::string ObjectOfKeys(int64_t keys) {
  std::string text = "{";
  char key[32];
  for (int64_t i = 0; i < keys; ++i) {
    std::snprintf(key, sizeof key, "%s\"K%07lld\":1", i ? "," : "",
                  static_cast<long long>(i));
    text += key;
  }
  return text + "}";
}

void BM_ParseJson_Keys(benchmark::State& state) {
  std::string text = ObjectOfKeys(state.range(0));
  for (auto _ : state) {
    cli::Json parsed = cli::ParseJson(text, "the body");
    benchmark::DoNotOptimize(parsed);
  }
  // Seconds per key (shown as ns with the unit below).
  state.counters["per_key"] =
      benchmark::Counter(static_cast<double>(state.range(0)),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseJson_Keys)
    ->Arg(1000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillet::bench
