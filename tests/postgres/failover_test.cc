// A primary with a synchronous streaming standby, both private to this
// test. Hosts (processes) create calls and append to them under request
// keys; the primary dies (SIGKILL), the standby is promoted, and Quillet
// reaches it through a URI naming both hosts with
// target_session_attrs=read-write. Afterwards every answered request is on
// the new primary, once; a request whose outcome was unknown is settled by
// its key on retry; nothing is stored twice.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/transaction_host.h"
#include "support/pg_server.h"
#include "support/temp_dir.h"

namespace quillet::standins {
namespace {

// CLOCK_MONOTONIC in milliseconds: one clock for every process here.
int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

CallData Call(const std::string& text, bool append) {
  CallData call;
  call.properties["SoldToBusinessPartner"] = {VarType::String, "B", 0};
  call.text = StoredText{{text}, append ? "a" : ""};
  return call;
}

// One host: creates a call, then appends to it, each under its own key,
// until `stop_file` exists; a request that fails is retried under the same
// key until it is answered. Writes one line per answered request: its
// kind, key, call number, time answered, and whether an earlier try's
// outcome was unknown.
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
      ListeningScope heard;  // told how a try failed
      try {
        if (!store) store = std::make_unique<BackendStore>(uri);
        CallData call = Call(key, append);
        if (append)
          call.properties["CallNumber"] = {VarType::String, number, 0};
        SubmitOutcome outcome = append ? store->ChangeCall("C", call, key)
                                       : store->CreateCall("C", call, key);
        if (!outcome.stored) break;  // refused: the line says so
        number = outcome.stored->call_number;
        out << (append ? "append " : "create ") << key << ' ' << number << ' '
            << NowMs() << ' ' << unknown << std::endl;
        break;
      } catch (const Error&) {
        unknown |= heard.context()->OutcomeUnknown();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
}

TEST(PostgresFailoverTest, NothingAnsweredIsLostAndNothingIsStoredTwice) {
  testing::PgServer primary(
      "-c synchronous_standby_names=standby -c synchronous_commit=on");
  testing::PgServer standby(primary, "standby");
  std::string name = "failover";
  primary.Sql(primary.Uri("postgres"), "CREATE DATABASE " + name);
  std::string uri = "postgresql:///" + name + "?host=" + primary.SocketDir() +
                    "," + standby.SocketDir() +
                    "&user=postgres&target_session_attrs=read-write";
  setenv("QUILLET_PG_RECONNECT_SECONDS", "20", 1);
  { BackendStore made(uri); }

  testing::TempDir dir;
  constexpr int kHosts = 3;
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
  primary.Kill();
  int64_t killed = NowMs();
  standby.Promote();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::ofstream(dir.Path("stop")) << "stop";
  for (pid_t pid : hosts) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // What the hosts were answered.
  std::map<std::string, std::string> created;  // key -> call number
  std::map<std::string, std::vector<std::string>> appended;  // call -> keys
  int64_t first_after = -1;
  int answered_before = 0, unknown = 0;
  for (int h = 0; h < kHosts; ++h) {
    std::ifstream in(dir.Path("host" + std::to_string(h)));
    std::string kind, key, number;
    int64_t at = 0;
    bool was_unknown = false;
    while (in >> kind >> key >> number >> at >> was_unknown) {
      if (kind == "create")
        created[key] = number;
      else
        appended[number].push_back(key);
      unknown += was_unknown;
      if (at < killed) ++answered_before;
      if (at > killed && (first_after < 0 || at < first_after))
        first_after = at;
    }
  }
  ASSERT_GT(answered_before, 0);
  ASSERT_GT(first_after, 0) << "no write succeeded after the failover";
  std::printf(
      "failover: %d requests answered before the kill; first write "
      "answered %lld ms after it; %d outcome(s) unknown, settled by "
      "key\n",
      answered_before, static_cast<long long>(first_after - killed), unknown);
  RecordProperty("kill_to_first_write_ms",
                 std::to_string(first_after - killed));

  // What the new primary holds: every answered call, each once, with its
  // own text and each append its host was answered for, once, in order.
  BackendStore store(uri, BackendStore::Open::kForReading);
  std::map<std::string, StoredCall> stored;
  std::multiset<std::string> texts;
  store.ForEachCall({}, [&](const StoredCall& call) {
    stored.emplace(call.call_number, call);
    if (!call.text.empty()) texts.insert(call.text.front());
  });
  for (const auto& [key, number] : created) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(stored.contains(number));
    EXPECT_EQ(texts.count(key), 1u);  // created once
    std::vector<std::string> want = {key};
    for (const std::string& more : appended[number]) want.push_back(more);
    // An append whose answer was never had (the host stopped before) may
    // be there too, once, at the end.
    const std::vector<std::string>& text = stored.at(number).text;
    ASSERT_GE(text.size(), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), text.begin()));
    EXPECT_LE(text.size(), want.size() + 1);
  }
  for (const std::string& text : texts) EXPECT_EQ(texts.count(text), 1u);
}

}  // namespace
}  // namespace quillet::standins
