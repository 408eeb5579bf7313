// Sixteen threads (whose writes share commits) and a second process (a
// batch, whose lines do) on one embedded back-end file: every
// call number unique, every call stored whole, every log line whole and
// accounted for, and each thread's current error its own. Built under
// ThreadSanitizer by `make tsan`.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "quillet/calls.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/text.h"
#include "support/raises.h"
#include "support/temp_dir.h"

namespace quillet {
namespace {

constexpr int kThreads = 16;
constexpr int kRoundsPerThread = 80;  // 5 operations a round
constexpr int kProcessCalls = 300;

TEST(StressTest, ThreadsAndAProcessShareOneDatabase) {
  testing::TempDir dir;
  std::string db = dir.Path("q.db"), log = dir.Path("quillet.log");
  standins::BackendStore(db).LoadMasterData(
      R"({"businessPartners":[{"number":"BP-1"}],"engineerTime":[{"question":"Q","minutes":5}]})");
  standins::RegisterEmbeddedBackend(db);
  standins::RegisterFileLog(log);

  // The second process: a batch of create-calls through the command line.
  {
    std::ofstream batch(dir.Path("ops.jsonl"));
    for (int i = 0; i < kProcessCalls; ++i)
      batch << R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","Q_TEXT":")"
            << std::string(2100, 'p') << "\"}}\n";
  }
  std::string command = std::string(QUILLET_CLI_PATH) + " --db " + db +
                        " --log " + log + " batch " + dir.Path("ops.jsonl") +
                        " --out " + dir.Path("out.jsonl") + " 2>/dev/null";
  std::thread process([&] { EXPECT_EQ(std::system(command.c_str()), 0); });

  std::atomic<int> logged{0};
  std::vector<std::vector<std::string>> numbers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Ref<CallsInterface> calls = NewCalls();
      for (int round = 0; round < kRoundsPerThread; ++round) {
        Ref<Dictionary> create = MakeRef<Dictionary>();
        create->Add(u"SOLDTOBP", u"BP-1");
        create->Add(u"Q_ID", u"Q");
        create->Add(u"Q_TEXT", String(2100, static_cast<char16_t>(u'a' + t)));
        Variant error;
        Ref<Dictionary> created = calls->CreateCall(create, error);
        ASSERT_TRUE(created && created->Exists(u"CALLNUMBER"))
            << ToUtf8(ToString(error));
        Variant number = created->Item(u"CALLNUMBER");
        numbers[t].push_back(ToUtf8(number.AsString()));

        Ref<Dictionary> change = MakeRef<Dictionary>();
        change->Add(u"CALLNUMBER", number);
        change->Add(u"OPTION", round % 2 ? 7 : 5);
        change->Add(u"Q_TEXT", u"more");
        change->Add(u"WAITINGDESC", u"thread " + ToString(Variant(t)));
        calls->UpdateCall(change, error);

        // A failure raised on this thread is this thread's own.
        Ref<Dictionary> bad = MakeRef<Dictionary>();
        bad->Add(u"OPTION", u"not a number " + ToString(Variant(t)));
        EXPECT_RAISES(calls->UpdateCall(bad, error), errors::kTypeMismatch);
        ++logged;
        EXPECT_EQ(CurrentError().number, 0);

        Variant minutes = 60 * t + round;
        EXPECT_EQ(ToLong(calls->backendTimeFormat(minutes)),
                  (60 * t + round) / 60 * 100 + (60 * t + round) % 60);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  process.join();

  std::set<std::string> unique;
  for (const auto& list : numbers) unique.insert(list.begin(), list.end());
  std::ifstream out(dir.Path("out.jsonl"));
  int process_calls = 0;
  for (std::string line; std::getline(out, line);) {
    nlohmann::json outcome = nlohmann::json::parse(line);
    unique.insert(outcome["result"]["CALLNUMBER"].get<std::string>());
    ++process_calls;
  }
  EXPECT_EQ(process_calls, kProcessCalls);
  EXPECT_EQ(unique.size(),
            static_cast<size_t>(kThreads * kRoundsPerThread + kProcessCalls));

  std::vector<standins::StoredCall> stored = standins::BackendStore(db).Calls();
  EXPECT_EQ(stored.size(), unique.size());
  for (const standins::StoredCall& c : stored) {
    ASSERT_GE(c.text.size(), 2u) << c.call_number;
    EXPECT_EQ(c.text[0].size() + c.text[1].size(), 2102u) << c.call_number;
  }

  int lines = 0;
  std::ifstream log_file(log);
  for (std::string line; std::getline(log_file, line); ++lines)
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded());
  EXPECT_EQ(lines, logged.load());
}

}  // namespace
}  // namespace quillet
