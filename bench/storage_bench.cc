// The embedded back end against the floor the disk sets: one single-row
// INSERT per transaction in the same journal and sync mode. Beside time,
// each reports the bytes it handed to write(2) per call (the WAL and its
// checkpoints) against the bytes the call occupies in the database; then
// the same work through `quillet batch`, the peak memory of one call with a
// 50 MB text, and whether a call costs more once the file holds many.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "measure.h"
#include "null_adapter.h"
#include "quillet/calls.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "support/call_details.h"
#include "workload.h"

extern char** environ;

namespace quillet::bench {
namespace {

// "In memory" is a file on a RAM file system (/dev/shm): the same SQLite
// code path as a disk file without the disk.
std::string DatabasePath(bool memory) {
  static int n = 0;
  std::string dir = (memory && std::filesystem::is_directory("/dev/shm")
                         ? std::filesystem::path("/dev/shm")
                         : std::filesystem::temp_directory_path()) /
                    "quillet-bench";
  std::filesystem::create_directories(dir);
  return dir + "/bench-" + std::to_string(getpid()) + "-" +
         std::to_string(++n) + ".db";
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
  std::remove((std::filesystem::path(path).parent_path() / "quillet.log")
                  .string()
                  .c_str());
}

// Bytes written per call and bytes stored per call, measured around the
// loop that `run` is.
class DiskMeter {
 public:
  explicit DiskMeter(std::string path)
      : path_(std::move(path)),
        stored_(DatabaseBytesInUse(path_)),
        written_(BytesWritten()) {}
  // Per call, `calls` of them (one an iteration unless said); `written`:
  // bytes another process wrote, else this one's.
  void Report(benchmark::State& state, double calls = 0,
              std::optional<uint64_t> written_elsewhere = {}) const {
    if (calls == 0) calls = static_cast<double>(state.iterations());
    double written =
        static_cast<double>(written_elsewhere ? *written_elsewhere
                                              : BytesWritten() - written_) /
        calls;
    double stored =
        static_cast<double>(DatabaseBytesInUse(path_) - stored_) / calls;
    state.counters["written_B/call"] = written;
    state.counters["stored_B/call"] = stored;
    if (stored > 0) state.counters["written/stored"] = written / stored;
  }

 private:
  std::string path_;
  uint64_t stored_, written_;
};

// One single-row INSERT per transaction, in the embedded back end's journal
// and sync mode: what one durable transaction per call costs at least.
void BM_Floor_InsertPerTransaction(benchmark::State& state) {
  std::string path = DatabasePath(state.range(0) == 1);
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                 "CREATE TABLE floor(id INTEGER PRIMARY KEY, body TEXT)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *begin, *insert, *commit;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO floor(body) VALUES(?1)", -1, &insert,
                       nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    // About what one call of the workload occupies.
    const std::string body(400, 'x');
    DiskMeter meter(path);
    for (auto _ : state) {
      sqlite3_step(begin);
      sqlite3_reset(begin);
      sqlite3_bind_text(insert, 1, body.data(), static_cast<int>(body.size()),
                        SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
      if (sqlite3_step(commit) != SQLITE_DONE)
        state.SkipWithError(sqlite3_errmsg(db));
      sqlite3_reset(commit);
    }
    meter.Report(state);
    for (sqlite3_stmt* s : {begin, insert, commit}) sqlite3_finalize(s);
    sqlite3_close(db);
  }
  RemoveDatabase(path);
}
BENCHMARK(BM_Floor_InsertPerTransaction)->ArgName("memory")->Arg(0)->Arg(1);

// A database with the master data the workload's calls name, and the
// embedded back end registered on it for this thread's calls.
std::string PreparedDatabase(bool memory) {
  std::string path = DatabasePath(memory);
  standins::BackendStore(path).LoadMasterData(kMasterData);
  standins::RegisterEmbeddedBackend(path);
  return path;
}

bool CreateOne(CallsInterface& calls) {
  Ref<Dictionary> details = ToDictionary(CallDetails());
  Variant error;
  Ref<Dictionary> r = calls.CreateCall(details, error);
  return r && r->Exists(u"CALLNUMBER");
}

// Arguments: in memory (0/1), under a request key per call (0/1).
void BM_CreateCall_Embedded(benchmark::State& state) {
  std::string path = PreparedDatabase(state.range(0) == 1);
  bool keyed = state.range(1) == 1;
  {
    Ref<CallsInterface> calls = NewCalls();
    int64_t n = 0;
    DiskMeter meter(path);
    for (auto _ : state) {
      std::optional<standins::TransactionScope> scope;
      if (keyed) scope.emplace(u"bench-" + FromUtf8(std::to_string(++n)));
      if (!CreateOne(*calls)) state.SkipWithError("CreateCall failed");
    }
    meter.Report(state);
  }
  RegisterNullAdapter();
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_Embedded)
    ->ArgNames({"memory", "keyed"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1});

// Sixteen threads of one host creating calls at once on one WAL file, their
// writes sharing commits: the wall time per call (us/call), and the bytes
// written per call against the bytes it occupies.
void BM_CreateCall_Threads(benchmark::State& state) {
  constexpr int kThreads = 16, kCallsEach = 50;
  std::string path = PreparedDatabase(false);
  {
    std::atomic<bool> failed{false};
    DiskMeter meter(path);
    double seconds = 0;
    for (auto _ : state) {
      auto start = std::chrono::steady_clock::now();
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
          Ref<CallsInterface> calls = NewCalls();
          for (int i = 0; i < kCallsEach; ++i)
            if (!CreateOne(*calls)) failed = true;
        });
      for (std::thread& t : threads) t.join();
      seconds += std::chrono::duration<double>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    }
    if (failed) state.SkipWithError("CreateCall failed");
    double calls = static_cast<double>(kThreads * kCallsEach) *
                   static_cast<double>(state.iterations());
    state.counters["us/call"] = seconds * 1e6 / calls;
    meter.Report(state, calls);
  }
  RegisterNullAdapter();
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_Threads)->Unit(benchmark::kMillisecond)->Iterations(3);

// Runs the command with `args`; its exit status, and its peak resident
// size in bytes through `peak`.
int RunCommand(const std::vector<std::string>& args, uint64_t* peak,
               uint64_t* written = nullptr) {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The answer is not what is measured: it goes nowhere.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned =
      posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  // Its bytes handed to write(2), read while it is a zombie not yet reaped.
  siginfo_t exited{};
  if (written &&
      waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOWAIT) == 0)
    *written = BytesWrittenBy(pid);
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  if (peak) *peak = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The workload's call as a batch line.
std::string BatchLine() {
  nlohmann::json details = nlohmann::json::object();
  for (const auto& [key, value] : testing::CreateCallDetails())
    details[ToUtf8(key)] = ToUtf8(value);
  return nlohmann::json{{"op", "create-call"}, {"details", details}}.dump();
}

// `quillet batch` of 2,000 of the workload's calls into a WAL file: the
// command's start, JSON both ways, a request key per line. Reported as the
// time per call.
void BM_CreateCall_Batch(benchmark::State& state) {
  constexpr int kCalls = 2000;
  std::string path = DatabasePath(false);
  std::string input = path + ".jsonl", output = path + ".out";
  {
    std::ofstream lines(input);
    std::string line = BatchLine();
    for (int i = 0; i < kCalls; ++i) lines << line << '\n';
  }
  double seconds = 0;
  uint64_t written = 0, stored = 0;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveDatabase(path);
    standins::BackendStore(path).LoadMasterData(kMasterData);
    uint64_t before = DatabaseBytesInUse(path), wrote = 0;
    state.ResumeTiming();
    auto start = std::chrono::steady_clock::now();
    int status =
        RunCommand({QUILLET_CLI, "--db", path, "batch", input, "--out", output},
                   nullptr, &wrote);
    seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    if (status != 0) state.SkipWithError("quillet batch failed");
    state.PauseTiming();
    // Its outcome file is not the database's.
    written += wrote - std::filesystem::file_size(output);
    stored += DatabaseBytesInUse(path) - before;
    state.ResumeTiming();
  }
  double calls = static_cast<double>(kCalls * state.iterations());
  state.counters["us/call"] = seconds * 1e6 / calls;
  state.counters["written_B/call"] = static_cast<double>(written) / calls;
  state.counters["stored_B/call"] = static_cast<double>(stored) / calls;
  if (stored > 0)
    state.counters["written/stored"] =
        static_cast<double>(written) / static_cast<double>(stored);
  for (const std::string& f : {input, output}) std::remove(f.c_str());
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_Batch)->Unit(benchmark::kMillisecond);

// One call whose text is 50 MB of UTF-8: the peak resident size of
// `quillet create-call --details @FILE` (the whole process: reading, JSON,
// the library, the back end), and, in this process, how far CreateCall
// raises the peak over the caller's own dictionary.
void BM_CreateCall_50MBText(benchmark::State& state) {
  constexpr size_t kText = 50'000'000;
  std::string path = PreparedDatabase(false);
  std::string details_file = path + ".json";
  std::u16string text;
  text.reserve(kText);
  for (size_t i = 0; i < kText; ++i) text += (i % 100 == 99) ? u'\n' : u'x';
  {
    nlohmann::json details = {{"SOLDTOBP", "BP-1"}, {"Q_TEXT", ToUtf8(text)}};
    std::ofstream(details_file) << details.dump();
  }
  for (auto _ : state) {
    uint64_t command_peak = 0;
    if (RunCommand({QUILLET_CLI, "--db", path, "create-call", "--details",
                    "@" + details_file},
                   &command_peak) != 0)
      state.SkipWithError("quillet create-call failed");
    Ref<CallsInterface> calls = NewCalls();
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"SOLDTOBP", u"BP-1");
    details->Add(u"Q_TEXT", text);
    ResetPeakResident();
    uint64_t before = ResidentBytes();
    Variant error;
    if (!calls->CreateCall(details, error))
      state.SkipWithError("CreateCall failed");
    uint64_t added = PeakResidentBytes() - before;
    state.counters["command_peak_MB"] = static_cast<double>(command_peak) / 1e6;
    state.counters["command_peak/text"] =
        static_cast<double>(command_peak) / kText;
    state.counters["library_added_MB"] = static_cast<double>(added) / 1e6;
    state.counters["library_added/text"] = static_cast<double>(added) / kText;
  }
  RegisterNullAdapter();
  std::remove(details_file.c_str());
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_50MBText)->Iterations(1)->Unit(benchmark::kMillisecond);

// range(0) calls into one WAL file: the time per call over the 10,000
// calls after the first 1,000, against the last 10,000. `make bench` runs
// 100,000; `make bench-long` a million.
void BM_CreateCall_FileGrowth(benchmark::State& state) {
  const int64_t total = state.range(0);
  constexpr int64_t kWindow = 10'000;
  std::string path = PreparedDatabase(false);
  {
    Ref<CallsInterface> calls = NewCalls();
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
      auto window = [&](int64_t calls_in) {
        auto start = Clock::now();
        for (int64_t i = 0; i < calls_in; ++i)
          if (!CreateOne(*calls)) state.SkipWithError("CreateCall failed");
        return std::chrono::duration<double, std::micro>(Clock::now() - start)
                   .count() /
               static_cast<double>(calls_in);
      };
      window(1000);
      double early = window(kWindow);
      for (int64_t done = 1000 + kWindow; done < total - kWindow;) {
        int64_t step = std::min<int64_t>(100'000, total - kWindow - done);
        window(step);
        done += step;
        if (total >= 1'000'000)
          std::fprintf(stderr, "  %lld calls stored\n",
                       static_cast<long long>(done));
      }
      double late = window(kWindow);
      state.counters["us/call_after_1k"] = early;
      state.counters["us/call_at_end"] = late;
      state.counters["end/1k"] = late / early;
    }
  }
  RegisterNullAdapter();
  RemoveDatabase(path);
}
BENCHMARK(BM_CreateCall_FileGrowth)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quillet::bench
