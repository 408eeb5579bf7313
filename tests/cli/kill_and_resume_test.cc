// A batch killed at random moments and resumed: each line recorded once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "quillet/standins/backend_store.h"
#include "support/temp_dir.h"

namespace quillet {
namespace {

using nlohmann::json;

// A batch killed at random moments (its lines answered so far all stored)
// and run again after each kill (also
// after its line ends and a trailing blank line were edited, and finally by
// two runs at once) ends with exactly one stored call per line, a sound
// database, whole log lines and an outcome file of one line per input line
// that names each line's call.
TEST(CrashTest, KilledAndResumedBatchesRecordEachLineOnce) {
  testing::TempDir dir;
  constexpr int kLines = 3000;
  std::vector<bool> creates;  // by input line, from 1
  {
    std::ofstream batch(dir.Path("ops.jsonl"));
    for (int i = 0; i < kLines; ++i) {
      bool create = i % 5 != 4;  // every fifth line raises
      creates.push_back(create);
      if (create)
        batch
            << R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","Q_TEXT":")"
            << "line-" << i + 1 << ":" << std::string(3000, 'k') << "\"}}\n";
      else
        batch << R"({"op":"update-call","details":{"OPTION":"x"}})"
                 "\n";
    }
  }
  auto start = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir.Path("").c_str()) != 0) _exit(3);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(QUILLET_CLI_PATH, "quillet", "batch", "ops.jsonl", "--out",
            "outcomes.jsonl", static_cast<char*>(nullptr));
      _exit(3);
    }
    return pid;
  };
  auto run = [&](int kill_after_us) {
    pid_t pid = start();
    bool killed = false;
    if (kill_after_us > 0) {
      usleep(kill_after_us);
      killed = kill(pid, SIGKILL) == 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return killed && WIFSIGNALED(status) ? -1 : WEXITSTATUS(status);
  };
  // The calls stored, by the line number in their text.
  auto stored_calls = [&] {
    std::map<int, std::string> calls;
    standins::BackendStore(dir.Path("quillet.db"))
        .ForEachCall({}, [&](const standins::StoredCall& c) {
          calls.emplace(std::atoi(c.text[0].c_str() + 5), c.call_number);
        });
    return calls;
  };
  // Every line a killed run answered was stored as it said: no line is
  // answered before the commit that holds it.
  auto answered_were_stored = [&] {
    std::ifstream partial(dir.Path("outcomes.jsonl.partial"));
    std::map<int, std::string> calls = stored_calls();
    for (std::string text; std::getline(partial, text);) {
      json outcome = json::parse(text, nullptr, false);
      if (outcome.is_discarded()) continue;  // torn by the kill
      int line = outcome["line"];
      if (creates[static_cast<size_t>(line - 1)]) {
        EXPECT_EQ(outcome["result"]["CALLNUMBER"], calls[line]) << line;
      }
    }
  };
  std::mt19937 random(20261207);
  int kills = 0;
  for (int round = 0; round < 24; ++round) {
    if (run(std::uniform_int_distribution<int>(5000, 150000)(random)) != -1)
      continue;
    ++kills;
    answered_were_stored();
  }
  EXPECT_GE(kills, 20);
  // The file edited without changing what its lines say: CR LF line ends
  // and a trailing blank line. Killed once more, then resumed.
  {
    std::ifstream in(dir.Path("ops.jsonl"));
    std::string edited;
    for (std::string text; std::getline(in, text);) edited += text + "\r\n";
    in.close();
    std::ofstream(dir.Path("ops.jsonl"), std::ios::binary) << edited << "\r\n";
  }
  run(std::uniform_int_distribution<int>(5000, 150000)(random));
  // Two runs at once on one outcome file: each runs to the end (the raising
  // lines raised) or is refused while the other writes it.
  pid_t twins[] = {start(), start()};
  int finished = 0;
  for (pid_t pid : twins) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_TRUE(WEXITSTATUS(status) == 1 || WEXITSTATUS(status) == 2)
        << WEXITSTATUS(status);
    finished += WEXITSTATUS(status) == 1;
  }
  EXPECT_GE(finished, 1);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.Path("quillet.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)),
               "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  // The stored call of each line, by the line number in its text.
  std::map<int, std::string> stored;
  int calls = 0;
  standins::BackendStore(dir.Path("quillet.db"))
      .ForEachCall({}, [&](const standins::StoredCall& c) {
        ++calls;
        ASSERT_EQ(c.text.size(), 2u) << c.call_number;
        int line = std::atoi(c.text[0].c_str() + 5);
        EXPECT_TRUE(stored.emplace(line, c.call_number).second)
            << "line " << line << " stored twice";
      });
  int expected_calls = 0;
  for (bool create : creates) expected_calls += create;
  EXPECT_EQ(calls, expected_calls);

  std::ifstream outcomes(dir.Path("outcomes.jsonl"));
  int line = 0;
  for (std::string text; std::getline(outcomes, text);) {
    json outcome = json::parse(text);
    ASSERT_EQ(outcome["line"], ++line);
    if (creates[static_cast<size_t>(line - 1)])
      EXPECT_EQ(outcome["result"]["CALLNUMBER"], stored[line]) << line;
    else
      EXPECT_EQ(outcome["error"]["number"], 13);
  }
  EXPECT_EQ(line, kLines);

  std::ifstream log(dir.Path("quillet.log"));
  for (std::string text; std::getline(log, text);)
    EXPECT_FALSE(json::parse(text, nullptr, false).is_discarded()) << text;
  RecordProperty("kills", kills);
}

}  // namespace
}  // namespace quillet
