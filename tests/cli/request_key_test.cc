// Exactly once: requests made again under the same key are answered as the
// first time and record nothing twice.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "quillet/standins/backend_store.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

class RequestKeyTest : public ::testing::Test, protected testing::CliFolder {
 protected:
  std::vector<standins::StoredCall> Calls() {
    return standins::BackendStore(dir.Path("quillet.db")).Calls();
  }
};

TEST_F(RequestKeyTest, ARepeatedRequestIsAnsweredAgainByteForByte) {
  ASSERT_EQ(Quillet({"create-call", "SOLDTOBP=BP-1", "Q_TEXT=first"}).status,
            0);
  const std::vector<std::vector<std::string>> requests = {
      {"create-call", "--key", "c", "SOLDTOBP=BP-1", "Q_TEXT=second"},
      {"update-call", "--key", "u5", "CALLNUMBER=SC000001", "OPTION=5",
       "WAITINGDESC=parts"},
      {"update-call", "--key", "u7", "CALLNUMBER=SC000001", "OPTION=7",
       "Q_TEXT=appended once"},
      {"create-item", "--key", "i", "--component", "Items", "--values",
       R"([["SERIALNUMBER","S-1"],["ITEM","PRN"]])"},
      {"update-item", "--key", "j", "--component", "Items", "--values",
       R"([["SERIALNUMBER","S-1"],["LOCATION","Workshop"]])"},
  };
  for (const auto& args : requests) {
    SCOPED_TRACE(args[0] + " " + args[2]);
    testing::CliResult first = Quillet(args);
    testing::CliResult again = Quillet(args);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, first.out);
    EXPECT_EQ(first.err.find("replayed"), std::string::npos);
    EXPECT_NE(again.err.find("replayed"), std::string::npos);
  }
  std::vector<standins::StoredCall> calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].text.size(), 2u);  // "first", then one appended piece
}

TEST_F(RequestKeyTest, AKeyReusedForAnotherRequestIsRefused) {
  ASSERT_EQ(Quillet({"create-call", "--key", "k", "SOLDTOBP=A"}).status, 0);
  testing::CliResult other =
      Quillet({"create-call", "--key", "k", "SOLDTOBP=B"});
  EXPECT_EQ(other.status, 3);
  EXPECT_EQ(json::parse(other.out)["errorDescription"],
            "Request key 'k' was already used for a different request; "
            "nothing was written");
  testing::CliResult item =
      Quillet({"create-item", "--key", "k", "--component", "I", "--values",
               R"([["SERIALNUMBER","S"],["ITEM","X"]])"});
  EXPECT_EQ(item.status, 3);
  EXPECT_NE(item.err.find("Request key 'k' was already used"),
            std::string::npos);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Quillet({"items", "S"}).status, 2);  // nothing was written
  EXPECT_EQ(
      Quillet({"create-call", "--key", std::string(201, 'k'), "SOLDTOBP=A"})
          .status,
      2);
}

TEST_F(RequestKeyTest, TwoProcessesRacingWithOneKeyStoreOneCall) {
  std::ofstream(dir.Path("none.json")) << "{}";
  ASSERT_EQ(Quillet({"backend", "load", "none.json"}).status, 0);  // the file
                                                                   // exists
  for (int round = 0; round < 5; ++round) {
    std::string key = "race-" + std::to_string(round);
    pid_t pids[2];
    for (pid_t& pid : pids) {
      pid = fork();
      if (pid == 0) {
        std::string out = dir.Path(key + "-" + std::to_string(getpid()));
        if (!freopen(out.c_str(), "w", stdout)) _exit(3);
        if (chdir(dir.Path("").c_str()) != 0) _exit(3);
        execl(QUILLET_CLI_PATH, "quillet", "create-call", "--key", key.c_str(),
              "SOLDTOBP=BP-1", static_cast<char*>(nullptr));
        _exit(3);
      }
    }
    std::vector<std::string> numbers;
    for (pid_t pid : pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_EQ(WEXITSTATUS(status), 0);
      std::ifstream in(dir.Path(key + "-" + std::to_string(pid)));
      numbers.push_back(json::parse(in)["result"]["CALLNUMBER"]);
    }
    EXPECT_EQ(numbers[0], numbers[1]);
  }
  EXPECT_EQ(Calls().size(), 5u);
}

// A log that cannot be written hides nothing: a call stored before the log
// failed is named, with whether a retry is safe. A replay (of a command or
// a batch line) writes no log entry again, and answers even while the log
// cannot be written.
TEST_F(RequestKeyTest, ALogFailureHidesNothingAndReplaysLogNothing) {
  auto create = [](std::vector<std::string> before, const char* key) {
    before.push_back("create-call");
    if (key) before.insert(before.end(), {"--key", key});
    before.insert(before.end(), {"SOLDTOBP=BP-1", "BPNUMBER=UNKNOWN"});
    return before;
  };
  const std::vector<std::string> full = {"--log", "/dev/full"};
  std::ofstream(dir.Path("b.jsonl"))
      << R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","BPNUMBER":"U"}})"
      << "\n";
  std::ofstream(dir.Path("c.jsonl"))
      << R"({"op":"create-call","details":{"SOLDTOBP":"BP-1","PRIORITY":"300"}})"
      << "\n";
  const std::vector<std::string> overflow = {"create-call", "--key", "o",
                                             "SOLDTOBP=BP-1", "PRIORITY=300"};
  struct Step {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string in_err;
    size_t calls;
    int log_entries;
  } steps[] = {
      {"stored, then the log failed", create(full, nullptr), 4,
       "call SC000001 was created; running it again would store it again", 1,
       0},
      {"stored under a key, then the log failed", create(full, "f"), 4,
       "call SC000002 was created; retrying with the same --key is safe", 2, 0},
      {"its retry", create({}, "f"), 0, "replayed", 2, 0},
      {"its retry while the log fails", create(full, "f"), 0, "replayed", 2, 0},
      {"a keyed complaint", create({}, "g"), 0, "", 3, 1},
      {"its replay", create({}, "g"), 0, "replayed", 3, 1},
      {"a batch", {"batch", "b.jsonl"}, 0, "0 replayed", 4, 2},
      {"the batch again", {"batch", "b.jsonl"}, 0, "1 replayed", 4, 2},
      // A log failure is not the request's outcome: nothing is kept of it,
      // and the retry answers (and logs) the request's own error, once.
      {"an overflow under a key while the log fails",
       {"--log", "/dev/full", "create-call", "--key", "o", "SOLDTOBP=BP-1",
        "PRIORITY=300"},
       1,
       "cannot write log file",
       4,
       2},
      {"its retry", overflow, 3, "Overflow", 4, 3},
      {"its replay", overflow, 3, "replayed", 4, 3},
      {"a batch with a refused line",
       {"batch", "c.jsonl"},
       1,
       "0 replayed",
       4,
       4},
      {"that batch again", {"batch", "c.jsonl"}, 1, "1 replayed", 4, 4},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    testing::CliResult r = Quillet(step.args);
    EXPECT_EQ(r.status, step.status) << r.err;
    EXPECT_NE(r.err.find(step.in_err), std::string::npos) << r.err;
    EXPECT_EQ(Calls().size(), step.calls);
    std::ifstream log(dir.Path("quillet.log"));
    int entries = 0;
    for (std::string line; std::getline(log, line);) ++entries;
    EXPECT_EQ(entries, step.log_entries);
  }
}

// A retry is the request as its caller gave it: master data that changed
// meanwhile (the engineer time a question adds) does not make it another.
TEST_F(RequestKeyTest, ARetryAfterMasterDataChangedIsTheSameRequest) {
  auto load = [&](int minutes) {
    std::ofstream(dir.Path("m.json"))
        << R"({"engineerTime":[{"question":"Q-1","minutes":)" << minutes
        << "}]}";
    ASSERT_EQ(Quillet({"backend", "load", "m.json"}).status, 0);
  };
  const std::vector<std::string> request = {
      "create-call", "--key", "m", "SOLDTOBP=BP-1", "Q_ID=Q-1", "TIMESPENT=5"};
  load(45);
  testing::CliResult first = Quillet(request);
  ASSERT_EQ(first.status, 0) << first.err;
  load(60);
  testing::CliResult again = Quillet(request);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, first.out);
  EXPECT_NE(again.err.find("replayed"), std::string::npos);
  testing::CliResult other =
      Quillet({"create-call", "--key", "m", "SOLDTOBP=BP-1", "Q_ID=Q-1",
               "TIMESPENT=6"});
  EXPECT_EQ(other.status, 3) << other.err;
  EXPECT_EQ(Calls().size(), 1u);
}

}  // namespace
}  // namespace quillet::cli
