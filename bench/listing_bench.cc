// A page of a filtered listing against a page of the unfiltered one, on a
// file of many calls: a filter that matches few calls must read those
// calls, not every call. `make bench` fills 100,000 calls; `make
// bench-long` a million.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "quillet/standins/backend_store.h"
#include "storage_engine.h"

namespace quillet::bench {
namespace {

using adapter::CallProperty;
using standins::CallRow;
using standins::StoredValue;

// One call in 1,000 has status 15, names business partner BP-9 and holds
// the word "smudge" in its description; the others are alike.
constexpr int64_t kRare = 1000;

CallRow RowOf(int64_t i) {
  CallRow row;
  auto text = [](std::string v) {
    return StoredValue{VarType::String, std::move(v), 0};
  };
  row.properties[CallProperty::SoldToBusinessPartner] =
      text("BP-" + std::to_string(i % kRare == 7 ? 9 : 10 + i % 500));
  row.properties[CallProperty::CallDescription] =
      text("Printer jams on tray " + std::to_string(i % 4) + " near unit " +
           std::to_string(i) + (i % kRare == 3 ? ", smudge on each page" : ""));
  if (i % kRare == 5)
    row.properties[CallProperty::Status] = {VarType::Integer, "", 15};
  row.properties[CallProperty::LastTransactionTime] = {VarType::Long, "",
                                                       800'000'000 + i};
  auto filler = [&](std::string_view name) {
    return text(std::string(name) + "-value-" + std::to_string(i % 97));
  };
  for (CallProperty p : {CallProperty::ServiceObject, CallProperty::Contract,
                         CallProperty::Warranty, CallProperty::CreatedBy,
                         CallProperty::Priority, CallProperty::Problem})
    row.properties[p] = filler(standins::StoredName(p));
  // A property no record has, as a later release might store.
  row.unknown_properties["Component"] = filler("Component");
  row.text = {std::string(200, 'x')};
  return row;
}

// A file of `calls` calls, made once per size and run.
const std::string& FileOf(int64_t calls) {
  static std::map<int64_t, std::string> files;
  std::string& path = files[calls];
  if (!path.empty()) return path;
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / "quillet-bench";
  std::filesystem::create_directories(dir);
  path = (dir / ("listing-" + std::to_string(getpid()) + "-" +
                 std::to_string(calls) + ".db"))
             .string();
  auto engine =
      standins::OpenSqliteStorage(path, standins::OpenMode::kForWriting);
  constexpr int64_t kPerTransaction = 20'000;
  for (int64_t from = 1; from <= calls; from += kPerTransaction)
    engine->WriteTransaction(
        [&] {
          for (int64_t i = from; i < from + kPerTransaction && i <= calls; ++i)
            engine->InsertCall(i, "", "Desk", 800'000'000 + i, RowOf(i));
        },
        standins::StorageEngine::Ending::kCommit);
  std::atexit([] {
    for (const auto& [n, file] : files)
      for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((file + suffix).c_str());
  });
  return path;
}

// Arguments: calls in the file; the filter (0 none, 1 status 15, 2
// sold-to BP-9, 3 text "smudge", 4 changed since the last 1,000 calls);
// the order (0 by number, 1 newest change first). A page is 100 calls.
void BM_ListingPage(benchmark::State& state) {
  const int64_t calls = state.range(0);
  standins::BackendStore store(FileOf(calls),
                               standins::BackendStore::Open::kForReading);
  CallQuery query;
  query.limit = 100;
  query.newest_change_first = state.range(2) == 1;
  switch (state.range(1)) {
    case 1:
      query.status = 15;
      break;
    case 2:
      query.sold_to = "BP-9";
      break;
    case 3:
      query.text = "smudge";
      break;
    case 4:
      query.changed_since = 800'000'000 + calls - 1000;
      break;
    default:
      break;
  }
  int64_t listed = 0;
  for (auto _ : state)
    store.ForEachCall(query, [&](const standins::StoredCall&) { ++listed; });
  state.counters["calls/page"] =
      static_cast<double>(listed) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ListingPage)
    ->ArgNames({"calls", "filter", "changed"})
    ->ArgsProduct({{100'000, 1'000'000}, {0, 1, 2, 3, 4}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillet::bench
