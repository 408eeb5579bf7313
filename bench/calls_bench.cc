// The benchmark suite: Quillet's own cost against the same work written by
// hand, late binding against the C++ interface, the embedded back end
// against raw SQLite, threads, and memory over a million calls.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>

#include "hand_written.h"
#include "null_adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/transaction_host.h"
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

// --- End to end on the embedded back end, against raw SQLite ---------------

// "In memory" is a file on a RAM file system (/dev/shm): the same SQLite
// code path as a disk file without the disk.
std::string DatabasePath(bool memory) {
  static int n = 0;
  std::string dir = (memory && std::filesystem::is_directory("/dev/shm")
                         ? std::filesystem::path("/dev/shm")
                         : std::filesystem::temp_directory_path()) /
                    "quillet-bench";
  std::filesystem::create_directories(dir);
  std::string path = dir + "/bench-" + std::to_string(getpid()) + "-" +
                     std::to_string(++n) + ".db";
  return path;
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
}

constexpr const char* kMaster =
    R"({"serviceObjects":[{"object":"PRN-1","contract":"K-100",
  "warranty":"W-STD","warrantyDescription":"Standard","warrantyExpiryDate":"2027-06-30"}],
  "businessPartners":[{"number":"BP-1","name":"Acme"}],
  "engineerTime":[{"question":"Q-1","minutes":45}]})";

// Arguments: in memory (0/1), under a request key per call (0/1).
void BM_CreateCall_Embedded(benchmark::State& state) {
  std::string path = DatabasePath(state.range(0) == 1);
  bool keyed = state.range(1) == 1;
  {
    standins::BackendStore keeper(path);
    keeper.LoadMasterData(kMaster);
    standins::RegisterEmbeddedBackend(path);
    Ref<CallsInterface> calls = NewCalls();
    int64_t n = 0;
    for (auto _ : state) {
      std::optional<standins::TransactionScope> scope;
      if (keyed) scope.emplace(u"bench-" + FromUtf8(std::to_string(++n)));
      Ref<Dictionary> details = ToDictionary(CallDetails());
      Variant error;
      Ref<Dictionary> r = calls->CreateCall(details, error);
      if (!r || !r->Exists(u"CALLNUMBER"))
        state.SkipWithError("CreateCall failed");
    }
    RegisterNullAdapter();
  }
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_Embedded)
    ->ArgNames({"memory", "keyed"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1});

// The same rows the embedded back end writes for one call, with prepared
// statements, one transaction per call.
void BM_CreateCall_RawSqlite(benchmark::State& state) {
  std::string path = DatabasePath(state.range(0) == 1);
  {
    standins::BackendStore schema(path);
    sqlite3* db = nullptr;
    sqlite3_open_v2(
        path.c_str(), &db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *call, *name, *prop, *text;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO calls(component, last_transaction_time) VALUES(?1, ?2)",
        -1, &call, nullptr);
    sqlite3_prepare_v2(db, "UPDATE calls SET call_number = ?1 WHERE seq = ?2",
                       -1, &name, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO call_properties(call_number, name, type, "
                       "value) VALUES(?1, ?2, ?3, ?4)",
                       -1, &prop, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO call_texts(call_number, kind, position, "
                       "piece, text_mode) VALUES(?1, 'Text', 1, ?2, '')",
                       -1, &text, nullptr);
    char number[32];
    for (auto _ : state) {
      sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      sqlite3_bind_text(call, 1, "Desk", -1, SQLITE_STATIC);
      sqlite3_bind_int64(call, 2, 1796600000);
      sqlite3_step(call);
      sqlite3_reset(call);
      int64_t seq = sqlite3_last_insert_rowid(db);
      std::snprintf(number, sizeof number, "SC%06lld",
                    static_cast<long long>(seq));
      sqlite3_bind_text(name, 1, number, -1, SQLITE_STATIC);
      sqlite3_bind_int64(name, 2, seq);
      sqlite3_step(name);
      sqlite3_reset(name);
      for (const char* n : StoredPropertyNames()) {
        sqlite3_bind_text(prop, 1, number, -1, SQLITE_STATIC);
        sqlite3_bind_text(prop, 2, n, -1, SQLITE_STATIC);
        sqlite3_bind_text(prop, 3, "String", -1, SQLITE_STATIC);
        sqlite3_bind_text(prop, 4, "value of the property", -1, SQLITE_STATIC);
        sqlite3_step(prop);
        sqlite3_reset(prop);
      }
      sqlite3_bind_text(text, 1, number, -1, SQLITE_STATIC);
      sqlite3_bind_text(text, 2, "Printer jams on tray 2\r\nhttps://desk/q/1",
                        -1, SQLITE_STATIC);
      sqlite3_step(text);
      sqlite3_reset(text);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    for (sqlite3_stmt* s : {call, name, prop, text}) sqlite3_finalize(s);
    sqlite3_close(db);
  }
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_RawSqlite)->ArgName("memory")->Arg(0)->Arg(1);

void BM_CreateCall_MillionMemory(benchmark::State& state) {
  auto rss_kb = [] {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
      std::fclose(f);
    }
    return static_cast<double>(resident * sysconf(_SC_PAGESIZE) / 1024);
  };
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
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
