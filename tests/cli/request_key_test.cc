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

class RequestKeyTest : public ::testing::Test {
 protected:
  testing::CliResult Quillet(const std::vector<std::string>& args) {
    return testing::RunQuillet(dir_, args);
  }
  std::vector<standins::StoredCall> Calls() {
    return standins::BackendStore(dir_.Path("quillet.db")).Calls();
  }
  testing::TempDir dir_;
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
  std::ofstream(dir_.Path("none.json")) << "{}";
  ASSERT_EQ(Quillet({"backend", "load", "none.json"}).status, 0);  // the file
                                                                   // exists
  for (int round = 0; round < 5; ++round) {
    std::string key = "race-" + std::to_string(round);
    pid_t pids[2];
    for (pid_t& pid : pids) {
      pid = fork();
      if (pid == 0) {
        std::string out = dir_.Path(key + "-" + std::to_string(getpid()));
        if (!freopen(out.c_str(), "w", stdout)) _exit(3);
        if (chdir(dir_.Path("").c_str()) != 0) _exit(3);
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
      std::ifstream in(dir_.Path(key + "-" + std::to_string(pid)));
      numbers.push_back(json::parse(in)["result"]["CALLNUMBER"]);
    }
    EXPECT_EQ(numbers[0], numbers[1]);
  }
  EXPECT_EQ(Calls().size(), 5u);
}

TEST_F(RequestKeyTest, ARetryAfterALogFailureRecordsNothingTwice) {
  // The back end stores the call with a complaint; logging the complaint
  // fails, so the command fails after the write.
  testing::CliResult failed =
      Quillet({"--log", "/proc/quillet/q.log", "create-call", "--key", "f",
               "SOLDTOBP=BP-1", "BPNUMBER=UNKNOWN"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("retrying with the same request key is safe"),
            std::string::npos)
      << failed.err;
  testing::CliResult retry = Quillet(
      {"create-call", "--key", "f", "SOLDTOBP=BP-1", "BPNUMBER=UNKNOWN"});
  EXPECT_EQ(retry.status, 0) << retry.err;
  std::vector<standins::StoredCall> calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(json::parse(retry.out)["result"]["CALLNUMBER"],
            calls[0].call_number);
}

}  // namespace
}  // namespace quillet::cli
