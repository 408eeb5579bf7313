#include "failover_hosts.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/transaction_host.h"
#include "support/temp_dir.h"

namespace quillet::standins {
namespace {

constexpr int kHosts = 3;

// CLOCK_MONOTONIC in milliseconds: one clock for every process here.
int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

CallData Call(const std::string& text, bool append) {
  CallData call;
  call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String, "B",
                                                          0};
  call.text = StoredText{{text}, append ? "a" : ""};
  return call;
}

// One host: writes one line per answered request: its kind, key, call
// number, when its answered try was sent and when answered, and whether an
// earlier try's outcome was unknown.
// Stops, after an append, once `stop_file` exists.
void Host(const std::string& uri, int host, const std::string& stop_file,
          const std::string& out_file) {
  std::ofstream out(out_file);
  std::unique_ptr<BackendStore> store;
  std::string number;
  for (int i = 0; !std::ifstream(stop_file).good() || i % 2 == 1; ++i) {
    bool append = i % 2 == 1;
    std::string key = "h" + std::to_string(host) + "-" + std::to_string(i);
    bool unknown = false;
    for (int64_t give_up = NowMs() + 30000; NowMs() < give_up;) {
      int64_t tried = NowMs();
      ListeningScope heard;  // told how a try failed
      try {
        if (!store) store = std::make_unique<BackendStore>(uri);
        CallData call = Call(key, append);
        if (append)
          call.properties[CallProperty::CallNumber] = {VarType::String, number,
                                                       0};
        SubmitOutcome outcome = append ? store->ChangeCall("C", call, key)
                                       : store->CreateCall("C", call, key);
        if (!outcome.stored) break;  // refused: the line says so
        number = outcome.stored->call_number;
        out << (append ? "append " : "create ") << key << ' ' << number << ' '
            << tried << ' ' << NowMs() << ' ' << unknown << std::endl;
        break;
      } catch (const Error&) {
        unknown |= heard.context()->OutcomeUnknown();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
}

struct Answered {
  std::map<std::string, std::string> created;  // key -> call number
  std::map<std::string, std::vector<std::string>> appended;  // call -> keys
  FailoverFigures figures;
};

Answered Read(const testing::TempDir& dir, int64_t killed) {
  Answered a;
  for (int h = 0; h < kHosts; ++h) {
    std::ifstream in(dir.Path("host" + std::to_string(h)));
    std::string kind, key, number;
    int64_t tried = 0, at = 0;
    bool was_unknown = false;
    while (in >> kind >> key >> number >> tried >> at >> was_unknown) {
      if (kind == "create")
        a.created[key] = number;
      else
        a.appended[number].push_back(key);
      a.figures.unknown += was_unknown;
      if (at < killed) ++a.figures.answered_before;
      // Sent after the kill: only a server that took over can answer it
      // (an answer sent before the kill may be read after it).
      int64_t after = at - killed;
      if (tried > killed && (a.figures.kill_to_first_write_ms < 0 ||
                             after < a.figures.kill_to_first_write_ms))
        a.figures.kill_to_first_write_ms = after;
    }
  }
  return a;
}

}  // namespace

FailoverFigures WriteThroughFailover(const std::string& uri,
                                     const std::function<void()>& kill,
                                     const std::function<void()>& recover) {
  testing::TempDir dir;
  std::vector<pid_t> hosts;
  for (int h = 0; h < kHosts; ++h) {
    pid_t pid = fork();
    if (pid == 0) {
      Host(uri, h, dir.Path("stop"), dir.Path("host" + std::to_string(h)));
      _exit(0);
    }
    hosts.push_back(pid);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill();
  int64_t killed = NowMs();
  recover();
  // Until a write is answered after the kill (bounded), and then a little
  // longer, so that writes are seen to go on.
  for (int64_t give_up = NowMs() + 60000;
       Read(dir, killed).figures.kill_to_first_write_ms < 0 &&
       NowMs() < give_up;)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::ofstream(dir.Path("stop")) << "stop";
  for (pid_t pid : hosts) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  Answered answered = Read(dir, killed);
  const FailoverFigures& figures = answered.figures;
  EXPECT_GT(figures.answered_before, 0);
  EXPECT_GT(figures.kill_to_first_write_ms, 0)
      << "no write succeeded after the failover";
  std::printf(
      "failover: %d requests answered before the kill; first write "
      "answered %lld ms after it; %d outcome(s) unknown, settled by "
      "key\n",
      figures.answered_before,
      static_cast<long long>(figures.kill_to_first_write_ms), figures.unknown);
  ::testing::Test::RecordProperty(
      "kill_to_first_write_ms", std::to_string(figures.kill_to_first_write_ms));

  // What the new primary holds: every answered call, each once, with its
  // own text and each append its host was answered for, once, in order.
  BackendStore store(uri, BackendStore::Open::kForReading);
  std::map<std::string, StoredCall> stored;
  std::multiset<std::string> texts;
  store.ForEachCall({}, [&](const StoredCall& call) {
    stored.emplace(call.call_number, call);
    if (!call.text.empty()) texts.insert(call.text.front());
  });
  for (const auto& [key, number] : answered.created) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(stored.contains(number));
    if (!stored.contains(number)) continue;
    EXPECT_EQ(texts.count(key), 1u);  // created once
    std::vector<std::string> want = {key};
    for (const std::string& more : answered.appended[number])
      want.push_back(more);
    // An append whose answer was never had (the host stopped before) may
    // be there too, once, at the end.
    const std::vector<std::string>& text = stored.at(number).text;
    EXPECT_GE(text.size(), want.size());
    if (text.size() < want.size()) continue;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), text.begin()));
    EXPECT_LE(text.size(), want.size() + 1);
  }
  for (const std::string& text : texts) EXPECT_EQ(texts.count(text), 1u);
  return figures;
}

}  // namespace quillet::standins
