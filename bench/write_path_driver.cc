// Runs N single creates on a SQLite file, for counts that do not move with
// the machine's load: system calls (strace -c), instructions and SQLite
// statement steps (callgrind, between the markers: bench/write_path.sh).
// Modes: `create`
// (CreateCall on the embedded back end), `keyed` (the same under a request
// key each), `floor` (one 400-byte INSERT per transaction, the back end's
// journal and sync mode). Usage: quillet_write_path MODE DB_PATH [N]
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "quillet/calls.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "workload.h"

namespace {

using namespace quillet;
using namespace quillet::bench;

struct Floor {
  sqlite3* db = nullptr;
  sqlite3_stmt *begin = nullptr, *insert = nullptr, *commit = nullptr;
  std::string body = std::string(400, 'x');
};

// Bytes this process has handed to write(2) and its kin so far.
long BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0;
}

}  // namespace

// Kept out of line so that callgrind's --toggle-collect can find it.
extern "C" __attribute__((noinline)) void MeasuredWrites(CallsInterface* calls,
                                                         Floor* floor,
                                                         bool keyed, long n) {
  for (long i = 0; i < n; ++i) {
    if (floor) {
      sqlite3_step(floor->begin);
      sqlite3_reset(floor->begin);
      sqlite3_bind_text(floor->insert, 1, floor->body.data(),
                        static_cast<int>(floor->body.size()), SQLITE_STATIC);
      sqlite3_step(floor->insert);
      sqlite3_reset(floor->insert);
      sqlite3_step(floor->commit);
      sqlite3_reset(floor->commit);
      continue;
    }
    std::optional<standins::TransactionScope> scope;
    if (keyed) scope.emplace(u"key-" + FromUtf8(std::to_string(i)));
    Variant error;
    calls->CreateCall(ToDictionary(CallDetails()), error);
  }
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s create|keyed|floor DB_PATH [N]\n", argv[0]);
    return 2;
  }
  std::string mode = argv[1], path = argv[2];
  long written = 0;
  long n = argc > 3 ? std::atol(argv[3]) : 1000;
  if (mode == "floor") {
    Floor floor;
    sqlite3_open(path.c_str(), &floor.db);
    sqlite3_exec(floor.db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                 "CREATE TABLE floor(id INTEGER PRIMARY KEY, body TEXT)",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(floor.db, "BEGIN IMMEDIATE", -1, &floor.begin, nullptr);
    sqlite3_prepare_v2(floor.db, "INSERT INTO floor(body) VALUES(?1)", -1,
                       &floor.insert, nullptr);
    sqlite3_prepare_v2(floor.db, "COMMIT", -1, &floor.commit, nullptr);
    MeasuredWrites(nullptr, &floor, false, 1);  // warm-up
    long before = BytesWritten();
    MeasuredWrites(nullptr, &floor, false, n);
    written = BytesWritten() - before;
    for (sqlite3_stmt* s : {floor.begin, floor.insert, floor.commit})
      sqlite3_finalize(s);
    sqlite3_close(floor.db);
  } else {
    standins::BackendStore(path).LoadMasterData(kMasterData);
    standins::RegisterEmbeddedBackend(path);
    auto calls = NewCalls();
    MeasuredWrites(calls.Get(), nullptr, mode == "keyed", 1);  // warm-up
    long before = BytesWritten();
    MeasuredWrites(calls.Get(), nullptr, mode == "keyed", n);
    written = BytesWritten() - before;
  }
  if (n > 0) std::printf("bytes written a write: %ld\n", written / n);
  return 0;
}
