// Hostile input through the C++ API and the command line: each gets a clear
// answer and nothing is lost or half written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet {
namespace {

using nlohmann::json;

class HostileApiTest : public ::testing::Test {
 protected:
  HostileApiTest() {
    standins::RegisterEmbeddedBackend(dir_.Path("q.db"));
    standins::RegisterFileLog(dir_.Path("q.log"));
  }
  // The stored call text, joined, of the call CreateCall answered.
  std::string StoredText(const Ref<Dictionary>& result) {
    std::string number = ToUtf8(result->Item(u"CALLNUMBER").AsString());
    std::optional<standins::StoredCall> call =
        standins::BackendStore(dir_.Path("q.db")).Call(number);
    std::string text;
    for (const std::string& piece : call->text) text += piece;
    return text;
  }
  testing::TempDir dir_;
  Ref<CallsInterface> calls_ = NewCalls();
};

TEST_F(HostileApiTest, TextsAreStoredExactly) {
  struct Case {
    std::string name;
    String text;
    std::string stored;  // UTF-8, with the CR LF that CreateCall appends
  };
  String big(10 * 1024 * 1024 / 2, u'x');  // 10 MB of UTF-16
  const Case cases[] = {
      {"embedded NULs", String(u"a\0b\0c", 5), std::string("a\0b\0c\r\n", 7)},
      {"SQL metacharacters", u"'); DROP TABLE calls; --",
       "'); DROP TABLE calls; --\r\n"},
      {"non-ASCII", u"Grüße \U0001F600",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xf0\x9f\x98\x80\r\n"},
      // Half a surrogate pair has no UTF-8 form: it is stored as U+FFFD.
      {"unpaired surrogate", String(1, char16_t(0xD800)) + u"z",
       "\xef\xbf\xbdz\r\n"},
      {"10 MB", big, std::string(big.size(), 'x') + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"SOLDTOBP", u"BP-1");
    details->Add(u"Q_TEXT", c.text);
    Variant error;
    Ref<Dictionary> result = calls_->CreateCall(details, error);
    ASSERT_TRUE(result && result->Exists(u"CALLNUMBER"))
        << ToUtf8(ToString(error));
    EXPECT_EQ(StoredText(result), c.stored);
  }
  standins::BackendStore store(dir_.Path("q.db"));
  EXPECT_EQ(store.Calls().size(), std::size(cases));
}

TEST_F(HostileApiTest, NumbersAtAndPastTheirBoundaries) {
  struct Case {
    const char16_t* key;
    Variant value;
    std::string error;  // "" when the call is stored
  };
  const Case cases[] = {
      {u"PRIORITY", 255, ""},
      {u"PRIORITY", 256, "Overflow"},
      {u"PRIORITY", -1, "Overflow"},
      {u"PRIORITY", 255.5, "Overflow"},
      {u"PRIORITY", u"1e2", ""},
      {u"PRIORITY", u"&HFF", ""},
      {u"TIMESPENT", 2147483647,
       "Overflow"},  // + 0 engineer minutes: format overflows
      {u"TIMESPENT", 1288490207, ""},
      {u"TIMESPENT", u"2147483648", "Overflow"},
      {u"TIMESPENT", -2147483647 - 1, ""},
      {u"TIMESPENT", u"12abc", "Type mismatch"},
      {u"TIMESPENT", kNull, "Invalid use of Null"},
  };
  size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.key) + " " +
                 ToUtf8(ToString(Concat(Variant(u""), c.value))));
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"SOLDTOBP", u"BP-1");
    details->Add(c.key, c.value);
    Variant error;
    Ref<Dictionary> result = calls_->CreateCall(details, error);
    if (c.error.empty()) {
      EXPECT_TRUE(result && result->Exists(u"CALLNUMBER"));
      ++stored;
    } else {
      EXPECT_FALSE(result);
      EXPECT_EQ(ToUtf8(error.AsString()), c.error);
    }
  }
  EXPECT_EQ(standins::BackendStore(dir_.Path("q.db")).Calls().size(), stored);
}

TEST(HostileCliTest, BadInputIsRefusedWithNothingWritten) {
  std::string deep_array(100000, '[');
  std::string deep_object;
  for (int i = 0; i < 100000; ++i) deep_object += "{\"a\":";
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string input;
  };
  const Case cases[] = {
      {"deeply nested array", {"create-call", "--details", "-"}, deep_array},
      {"deeply nested object",
       {"create-call", "--details", "-"},
       deep_object + "1" + std::string(100000, '}')},
      {"malformed JSON", {"create-call", "--details", "{\"A\": 1,"}, ""},
      {"invalid UTF-8 in JSON",
       {"create-call", "--details", "{\"A\": \"\xff\"}"},
       ""},
      {"invalid UTF-8 as KEY=VALUE", {"create-call", "A=\xc3\x28"}, ""},
      {"table of tables", {"create-item", "--values", "[[[1]]]"}, ""},
      {"a batch that does not exist", {"batch", "missing.jsonl"}, ""},
      {"a database that cannot be created",
       {"--db", "/proc/quillet/q.db", "calls"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    testing::CliResult r = testing::RunQuillet(dir, c.args, c.input);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("quillet: "), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir.Path("quillet.db")).good());
    EXPECT_FALSE(std::ifstream(dir.Path("quillet.log")).good());
  }
}

TEST(HostileCliTest, AnUnwritableLogFailsTheCallLoudly) {
  testing::TempDir dir;
  // A refusal must be logged; with no log to write to, the call fails.
  testing::CliResult r = testing::RunQuillet(
      dir, {"--log", "/proc/quillet/q.log", "create-call", "Q_TEXT=x"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  json out = json::parse(r.out);
  EXPECT_EQ(out["error"]["number"], 75);
  // The refusal's log entry failed; the failure path's own entry failed too,
  // and that failure left the call.
  EXPECT_EQ(out["errorDescription"].get<std::string>().rfind(
                "Path/File access error: cannot open log file", 0),
            0u);
}

// A batch killed at random moments and run again after each kill (also
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
  std::mt19937 random(20261207);
  int kills = 0;
  for (int round = 0; round < 24; ++round)
    if (run(std::uniform_int_distribution<int>(5000, 150000)(random)) == -1)
      ++kills;
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
