// The back end's rules without a database: the shared back-end cases on the
// in-memory engine, and every write failing at each of its statements in
// each way a database fails: what is left, what a retry answers, what a
// lost commit and a dry run answer, how request keys expire.
#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <functional>
#include <regex>
#include <sstream>

#include "quillet/error.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/transaction_host.h"
#include "support/backend_cases.h"
#include "support/memory_engine.h"
#include "support/raises.h"

namespace quillet::standins {
namespace {

using testing::Fault;

INSTANTIATE_TEST_SUITE_P(Memory, BackendCaseTest,
                         ::testing::Values(BackendEngine{
                             "Memory",
                             [](const testing::TempDir&) {
                               return testing::NewMemoryDatabase();
                             }}),
                         [](const auto& info) { return info.param.name; });

StoredValue Text(std::string text) { return {VarType::String, text, 0}; }

// A database with master data, call SC000001 and item S-1.
std::string Seeded() {
  std::string db = testing::NewMemoryDatabase();
  BackendStore store(db);
  store.LoadMasterData(R"({
    "serviceObjects": [{"object": "PRN-1", "contract": "K-1",
                        "warranty": "W"}],
    "businessPartners": [{"number": "BP-1", "name": "Acme"}]})");
  CallData call;
  call.properties[CallProperty::SoldToBusinessPartner] = Text("BP-1");
  store.CreateCall("Desk", call);
  store.CreateItem("Desk", {{"SERIALNUMBER", "S-1"}, {"ITEM", "I"}});
  return db;
}

// What an outcome says, without the clock's time (and without the texts,
// which an answer given again leaves out: the database shows them).
std::string Said(const SubmitOutcome& o) {
  std::string out = o.replayed ? "replayed;" : "";
  if (o.stored) {
    out += o.stored->call_number;
    for (const auto& [p, v] : o.stored->properties)
      if (p != CallProperty::LastTransactionTime)
        out += ";" + StoredName(p) + "=" + v.text + std::to_string(v.number);
  }
  for (const std::string& m : o.messages) out += ";" + m;
  return out + (o.nothing_to_apply ? ";nothing" : "");
}
std::string Said(const ItemOutcome& o) {
  return (o.replayed ? "replayed;" : "") + o.refusal;
}

// The database without the clock's times.
std::string Timeless(const std::string& address) {
  static const std::regex times(
      R"(LastTransactionTime(=Long::|","Long","",)-?[0-9]+|\n([0-9]+\|[^|]*)\|-?[0-9]+)");
  static const std::regex event_times(R"(\|at=[0-9]+)");
  // The time in a kept answer: a write run again after a lost commit may
  // be stamped a second later.
  static const std::regex kept_times(
      R"rx("LastTransactionTime":\["Long",-?[0-9]+\])rx");
  return std::regex_replace(
      std::regex_replace(
          std::regex_replace(testing::DumpMemoryDatabase(address), times,
                             "\n$2|time|LastTransactionTime"),
          event_times, "|at=time"),
      kept_times, R"("LastTransactionTime":time)");
}

// The events a dump holds, one a line.
std::vector<std::string> EventsIn(const std::string& dump) {
  std::vector<std::string> events;
  size_t from = dump.find("table events\n");
  size_t to = dump.find("table ", from + 1);
  std::istringstream lines(dump.substr(from + 13, to - from - 13));
  for (std::string line; std::getline(lines, line);) events.push_back(line);
  return events;
}

struct Write {
  const char* name;
  std::function<std::string(BackendStore&, const std::string& key)> run;
};
const std::vector<Write>& Writes() {
  static const std::vector<Write> writes = {
      {"create call",
       [](BackendStore& s, const std::string& key) {
         CallData call;
         call.properties[CallProperty::SoldToBusinessPartner] = Text("BP-1");
         call.properties[CallProperty::ServiceObject] = Text("PRN-1");
         call.properties[CallProperty::BusinessPartnerNumber] = Text("BP-9");
         call.text = StoredText{{"one", "two"}, ""};
         return Said(s.CreateCall("Desk", call, key));
       }},
      {"complete call",
       [](BackendStore& s, const std::string& key) {
         CallData change;
         change.properties[CallProperty::CallNumber] = Text("SC000001");
         change.properties[CallProperty::Status] = {VarType::Byte, "", 30};
         change.text = StoredText{{"more"}, "a"};
         return Said(s.ChangeCall("Desk", change, key));
       }},
      {"create item",
       [](BackendStore& s, const std::string& key) {
         return Said(s.CreateItem(
             "Desk", {{"SERIALNUMBER", "S-2"}, {"ITEM", "I"}}, key));
       }},
      {"change item",
       [](BackendStore& s, const std::string& key) {
         return Said(s.ChangeItem(
             "Desk", {{"SERIALNUMBER", "S-1"}, {"COLOR", "red"}}, key));
       }},
  };
  return writes;
}

// Every write, with and without a request key, failing at each statement
// it makes: a failed statement leaves the database as it was; a conflict or
// a connection lost before the commit runs the write again to the answer it
// would have given; a lost commit is said to be of unknown outcome, was
// written, and under a key its retry is answered as the first time.
TEST(BackendRulesTest, EveryStatementFailingInEveryWay) {
  for (const Write& write : Writes()) {
    for (std::string key : {"", "K"}) {
      SCOPED_TRACE(std::string(write.name) + " key '" + key + "'");
      std::string reference_db = Seeded();
      std::string answer;
      {
        BackendStore store(reference_db);
        answer = write.run(store, key);
      }
      std::string written = Timeless(reference_db);
      // The write appended one event, which says what it did.
      std::vector<std::string> events = EventsIn(written);
      ASSERT_EQ(events.size(), EventsIn(Timeless(Seeded())).size() + 1);
      EXPECT_NE(events.back().find(key.empty() ? "||0|1|" : "|K|0|1|"),
                std::string::npos)
          << events.back();
      int64_t statements = 0;  // the write's, found by failing each
      for (int64_t n = 1; statements == 0; ++n) {
        ASSERT_LT(n, 100) << "the write never finished";
        std::string db = Seeded();
        std::string before = Timeless(db);
        BackendStore store(testing::FailingAt(testing::OpenMemoryDatabase(db),
                                              n, Fault::kError));
        try {
          EXPECT_EQ(write.run(store, key), answer);
          statements = n - 1;
        } catch (const Error& e) {
          EXPECT_EQ(e.number(), kBackendError);
          EXPECT_EQ(Timeless(db), before) << "statement " << n;
        }
      }
      ASSERT_GT(statements, 1);
      for (Fault fault :
           {Fault::kConflict, Fault::kLostConnection, Fault::kLostCommit}) {
        for (int64_t n = 1; n <= statements; ++n) {
          SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) +
                       " at statement " + std::to_string(n));
          std::string db = Seeded();
          BackendStore store(
              testing::FailingAt(testing::OpenMemoryDatabase(db), n, fault));
          if (fault != Fault::kLostCommit) {
            EXPECT_EQ(write.run(store, key), answer);
            EXPECT_EQ(Timeless(db), written);
            continue;
          }
          {
            ListeningScope heard;
            EXPECT_RAISES(write.run(store, key), kBackendError);
            EXPECT_TRUE(heard.context()->OutcomeUnknown());
          }
          EXPECT_EQ(Timeless(db), written);
          if (key.empty()) continue;
          BackendStore retry(db);
          EXPECT_EQ(write.run(retry, key), "replayed;" + answer);
          EXPECT_EQ(Timeless(db), written);
        }
      }
    }
  }
}

// A dry run answers as the write would and leaves the database as it was.
TEST(BackendRulesTest, ADryRunAnswersAsTheWriteAndKeepsNothing) {
  for (const Write& write : Writes()) {
    for (std::string key : {"", "K"}) {
      SCOPED_TRACE(std::string(write.name) + " key '" + key + "'");
      std::string real_db = Seeded(), dry_db = Seeded();
      BackendStore real(real_db), dry(dry_db);
      dry.SetDryRun(true);
      std::string before = Timeless(dry_db);
      EXPECT_EQ(write.run(dry, key), write.run(real, key));
      EXPECT_EQ(Timeless(dry_db), before);
    }
  }
}

// A key expires by the database's clock; an expired key is new again, and
// each keyed write prunes at most 16 expired keys; the operator's pruning
// removes keys by age, all of them in batches.
TEST(BackendRulesTest, KeysExpireAndArePrunedAFewAtATime) {
  std::string db = testing::NewMemoryDatabase();
  BackendStore store(db);
  store.SetKeyRetention(10);
  CallData call;
  call.properties[CallProperty::SoldToBusinessPartner] = Text("BP-1");
  std::string first = store.CreateCall("Desk", call, "k0").stored->call_number;
  for (int i = 1; i < 40; ++i)
    store.CreateCall("Desk", call, "k" + std::to_string(i));
  EXPECT_TRUE(store.CreateCall("Desk", call, "k0").replayed);
  testing::AdvanceMemoryClock(db, 10);
  SubmitOutcome again = store.CreateCall("Desk", call, "k0");
  EXPECT_FALSE(again.replayed);
  EXPECT_NE(again.stored->call_number, first);
  // k0 found expired and removed, 16 pruned, k0 written again.
  EXPECT_EQ(store.Facts().request_keys, 40 - 1 - 16 + 1);
  EXPECT_EQ(store.PruneKeysBefore(INT64_MAX), 24);
  EXPECT_EQ(store.Facts().request_keys, 0);
  // Events go by age as well, oldest first; a position pruned is never
  // given again, and a reader from before it can be told so.
  int64_t soon = static_cast<int64_t>(std::time(nullptr)) + 5;
  EXPECT_EQ(store.PruneEventsBefore(soon), 40);
  EXPECT_EQ(store.EventsPrunedThrough(), 40);
  store.CreateCall("Desk", call);
  std::vector<EventRecord> kept = store.Events({.limit = 10});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].position, 41);
  EXPECT_EQ(kept[1].position, 42);
}

}  // namespace
}  // namespace quillet::standins
