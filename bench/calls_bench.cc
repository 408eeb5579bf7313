// The library's own cost: against the same work written by hand, late
// binding against the C++ interface, threads, and memory over a million
// calls. The embedded back end against the disk's floor is in
// storage_bench.cc, PostgreSQL in postgres_bench.cc.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "floor_report.h"
#include "hand_written.h"
#include "measure.h"
#include "null_adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/text.h"
#include "quillet/trace.h"
#include "workload.h"

// Allocations per operation: every global allocation on this thread counts.
namespace {
thread_local uint64_t allocations = 0;
}
void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quillet::bench {
namespace {

void CountAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(allocations - before),
                         benchmark::Counter::kAvgIterations);
}

void BM_CreateCall_Quillet(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  uint64_t before = allocations;
  for (auto _ : state) {
    Ref<Dictionary> details = ToDictionary(CallDetails());
    Variant error;
    benchmark::DoNotOptimize(calls->CreateCall(details, error));
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_CreateCall_Quillet)->Threads(1)->Threads(2)->UseRealTime();

// The same under an adapter trace: what switching it on costs.
void BM_CreateCall_Traced(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  Trace trace;
  TraceScope traced(trace);
  for (auto _ : state) {
    Ref<Dictionary> details = ToDictionary(CallDetails());
    Variant error;
    benchmark::DoNotOptimize(calls->CreateCall(details, error));
    benchmark::DoNotOptimize(trace.TakeEvents());
  }
}
BENCHMARK(BM_CreateCall_Traced);

void BM_CreateCall_HandWritten(benchmark::State& state) {
  uint64_t before = allocations;
  for (auto _ : state) {
    Details details = CallDetails();
    benchmark::DoNotOptimize(HandWrittenCreateCall(details));
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_CreateCall_HandWritten)->Threads(1)->Threads(2)->UseRealTime();

void BM_UpdateCall_Quillet(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  Details source = UpdateDetails(static_cast<int>(state.range(0)));
  uint64_t before = allocations;
  for (auto _ : state) {
    Ref<Dictionary> details = ToDictionary(source);
    Variant error;
    benchmark::DoNotOptimize(calls->UpdateCall(details, error));
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_UpdateCall_Quillet)->Arg(2)->Arg(7);

void BM_UpdateCall_HandWritten(benchmark::State& state) {
  Details source = UpdateDetails(static_cast<int>(state.range(0)));
  uint64_t before = allocations;
  for (auto _ : state) {
    Details details = source;
    benchmark::DoNotOptimize(HandWrittenUpdateCall(details));
  }
  CountAllocations(state, before);
}
BENCHMARK(BM_UpdateCall_HandWritten)->Arg(2)->Arg(7);

void BM_TimeFormat_Interface(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  Variant minutes = 605;
  for (auto _ : state)
    benchmark::DoNotOptimize(calls->backendTimeFormat(minutes));
}
BENCHMARK(BM_TimeFormat_Interface);

void BM_TimeFormat_DispatchId(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  Variant minutes = 605;
  Variant* args[] = {&minutes};
  for (auto _ : state)
    benchmark::DoNotOptimize(
        calls->Invoke(dispid::kBackendTimeFormat, InvokeKind::Method, args));
}
BENCHMARK(BM_TimeFormat_DispatchId);

void BM_TimeFormat_Name(benchmark::State& state) {
  Ref<CallsInterface> calls = NewCalls();
  Variant minutes = 605;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        CallMethod(calls.Get(), u"backendTimeFormat", minutes));
}
BENCHMARK(BM_TimeFormat_Name);

void BM_CreateCall_MillionMemory(benchmark::State& state) {
  auto rss_kb = [] { return static_cast<double>(ResidentBytes() / 1024); };
  Ref<CallsInterface> calls = NewCalls();
  auto run = [&](int n) {
    for (int i = 0; i < n; ++i) {
      Ref<Dictionary> details = ToDictionary(CallDetails());
      Variant error;
      benchmark::DoNotOptimize(calls->CreateCall(details, error));
    }
  };
  for (auto _ : state) {
    run(1000);
    double first = rss_kb();
    run(999000);
    double last = rss_kb();
    state.counters["rss_after_1k_kb"] = first;
    state.counters["rss_after_1m_kb"] = last;
    state.counters["growth_kb"] = last - first;
  }
}
BENCHMARK(BM_CreateCall_MillionMemory)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillet::bench

int main(int argc, char** argv) {
  quillet::bench::RegisterNullAdapter();
  quillet::RegisterQuillet();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillet::bench::FloorReport report;
  benchmark::RunSpecifiedBenchmarks(&report);
  benchmark::Shutdown();
  return 0;
}
