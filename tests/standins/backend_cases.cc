// The back end's behaviour, end to end through Calls, as one table of cases
// that every storage engine must pass: backend_cases.h instantiates it for
// SQLite (sqlite_backend_test.cc), the in-memory engine
// (backend_rules_test.cc) and PostgreSQL (tests/postgres).
#include "support/backend_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "quillet/adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/operations/context.h"
#include "quillet/operations/events.h"
#include "quillet/operations/operation.h"
#include "quillet/safe_array.h"
#include "quillet/standins/backend_store.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"
#include "quillet/trace.h"
#include "support/database_dump.h"
#include "support/raises.h"
#include "support/recording_adapter.h"
#include "trace_output.h"

namespace quillet::standins {
namespace {

using testing::Show;

constexpr const char* kMasterData = R"json({
  "serviceObjects": [
    {"object": "PRN-1", "contract": "K-100", "warranty": "W-STD",
     "warrantyDescription": "Standard", "warrantyExpiryDate": "2027-06-30"},
    {"object": "PRN-2", "contract": "K-200"}
  ],
  "businessPartners": [{"number": "BP-1", "name": "Acme"}],
  "engineerTime": [{"question": "Q-1", "minutes": 45}]
})json";

}  // namespace

BackendCaseTest::BackendCaseTest()
    : db_(GetParam().new_database(dir_)), log_(dir_.Path("q.log")) {
  RegisterEmbeddedBackend(db_);
  RegisterFileLog(log_);
  BackendStore(db_).LoadMasterData(kMasterData);
}

Ref<Dictionary> BackendCaseTest::Details(
    std::initializer_list<std::pair<const char16_t*, Variant>> entries) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  for (const auto& [k, v] : entries) d->Add(k, v);
  return d;
}

Ref<Dictionary> BackendCaseTest::Create(const Ref<Dictionary>& details,
                                        Variant& error) {
  return calls_->CreateCall(details, error);
}

int BackendCaseTest::LogLines() {
  std::ifstream in(log_);
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

namespace {

TEST_P(BackendCaseTest, ACreatedCallIsStoredWhole) {
  // A pair across the first piece's end, and what JSON escapes.
  const String text =
      String(2047, u'x') + u"\U0001F600\"\\\t\u00e9" + String(950, u'y');
  Variant error;
  Ref<Dictionary> result = Create(Details({{u"COMPONENT", u"Desk"},
                                           {u"SOLDTOBP", u"BP-1"},
                                           {u"BPNUMBER", u"BP-1"},
                                           {u"OBJECT", u"PRN-1"},
                                           {u"PRIORITY", 2},
                                           {u"Q_TEXT", text},
                                           {u"LINK", u"L"},
                                           {u"Q_ID", u"Q-1"},
                                           {u"TIMESPENT", 45}}),
                                  error);
  ASSERT_TRUE(result);
  EXPECT_TRUE(error.IsEmpty());
  EXPECT_EQ(result->Item(u"CALLNUMBER"), Variant(u"SC000001"));
  EXPECT_EQ(result->Item(u"LASTTRANSTIME").type(), VarType::Long);
  EXPECT_EQ(result->Item(u"CONTRACT"), Variant(u"K-100"));
  EXPECT_EQ(result->Item(u"WARRANTY"), Variant(u"W-STD"));
  EXPECT_EQ(result->Item(u"WARRANTYEXPDATE"), Variant(u"2027-06-30"));

  std::optional<StoredCall> call = BackendStore(db_).Call("SC000001");
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->properties[CallProperty::TimeSpent].number,
            130);  // 45 + 45 minutes
  EXPECT_EQ(call->properties[CallProperty::OriginCode].number, 40);
  EXPECT_EQ(call->properties[CallProperty::Priority].type, VarType::Byte);
  ASSERT_EQ(call->text.size(), 2u);
  EXPECT_EQ(call->text[0], std::string(2047, 'x'));
  EXPECT_EQ(call->text[0] + call->text[1], ToUtf8(text + u"\r\nL"));
  EXPECT_EQ(LogLines(), 0);
}

// A host's list may hold one record twice: the second submit of its text
// stores the whole text again.
TEST_P(BackendCaseTest, ARecordListedTwiceStoresItsTextTwice) {
  Ref<Object> session = CreateObject(adapter::kUserSessionClass);
  Variant manager(CreateObject(adapter::kServiceCallManagerClass));
  CallMethod(session.Get(), u"addManager", manager);
  auto& calls =
      dynamic_cast<adapter::ServiceCallManager&>(*manager.AsObject().Get());
  calls.Initialize(u"Desk");
  auto record =
      CreateAs<adapter::ServiceCallRecord>(adapter::kServiceCallRecordClass);
  record->Set(adapter::CallProperty::SoldToBusinessPartner, u"BP-1");
  auto text = CreateAs<adapter::CallText>(adapter::kCallTextClass);
  for (const char16_t* piece : {u"first ", u"second"}) text->AddLine(piece);
  record->Set(adapter::CallProperty::Text, Variant(text));
  auto list =
      CreateAs<adapter::ServiceCallList>(adapter::kServiceCallListClass);
  list->Add(record);
  list->Add(record);
  ASSERT_EQ(calls.SubmitNewCalls(list)->ReturnedCalls()->Count(), 2);
  for (const char* number : {"SC000001", "SC000002"}) {
    std::optional<StoredCall> call = BackendStore(db_).Call(number);
    ASSERT_TRUE(call.has_value()) << number;
    EXPECT_EQ(call->text, (std::vector<std::string>{"first ", "second"}));
  }
}

TEST_P(BackendCaseTest, ComplaintsAndRefusalsComeBackAsMessages) {
  Variant error;
  Ref<Dictionary> result = Create(Details({{u"SOLDTOBP", u"X"},
                                           {u"BPNUMBER", u"BP-404"},
                                           {u"OBJECT", u"PRN-2"}}),
                                  error);
  ASSERT_TRUE(result);
  EXPECT_EQ(Show(*result).find("CALLNUMBER: String \"SC000001\""), 1u);
  EXPECT_EQ(Show(*result).find("WARRANTY"), std::string::npos);
  EXPECT_EQ(error, Variant(u"Unknown business partner 'BP-404'; the call was "
                           u"stored without partner data"));
  EXPECT_EQ(LogLines(), 1);

  Variant refused;
  result = Create(Details({{u"Q_TEXT", u"no partner"}}), refused);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Count(), 0);
  EXPECT_EQ(refused,
            Variant(u"Call refused: a sold-to business partner is required"));
  EXPECT_EQ(BackendStore(db_).Calls().size(), 1u);
}

TEST_P(BackendCaseTest, ACallChangedThroughSeveralOptions) {
  Variant error;
  ASSERT_TRUE(
      Create(Details({{u"SOLDTOBP", u"BP-1"}, {u"OBJECT", u"PRN-1"}}), error));
  auto update =
      [&](std::initializer_list<std::pair<const char16_t*, Variant>> e) {
        Ref<Dictionary> d = Details(e);
        d->Add(u"CALLNUMBER", u"SC000001");
        Variant message;
        Variant result = calls_->UpdateCall(d, message);
        return std::make_pair(result, message);
      };
  auto [r1, m1] = update({{u"OPTION", 1}, {u"PROBLEM", u"jam"}});
  EXPECT_EQ(Show(*QueryInterface<Dictionary>(r1.AsObject())).substr(0, 15),
            "{LASTTRANSTIME:");
  auto d1 = QueryInterface<Dictionary>(r1.AsObject());
  EXPECT_EQ(d1->Item(u"STATUS"), Variant::Byte(15));
  EXPECT_EQ(d1->Item(u"CHANGEDFLAG"), Variant::Byte(1));
  const std::string read = BackendStore(db_).Call("SC000001")->version;

  auto [r5, m5] = update({{u"OPTION", u"5"}, {u"WAITINGDESC", u"parts"}});
  auto d5 = QueryInterface<Dictionary>(r5.AsObject());
  EXPECT_EQ(d5->Item(u"WAITINGFLAG"), Variant::Byte(1));
  EXPECT_EQ(d5->Item(u"WAITINGDESC"), Variant(u"parts"));
  // Every change gives the call a new version, two in one second too; a
  // change that expects the version read before it stores nothing.
  const std::string now = BackendStore(db_).Call("SC000001")->version;
  EXPECT_NE(now, read);
  for (const std::string& expected : {read, now}) {
    TransactionScope scope;
    scope.context()->SetExpectedVersion(FromUtf8(expected));
    auto [r, m] = update({{u"OPTION", 1}, {u"PROBLEM", FromUtf8(expected)}});
    EXPECT_EQ(scope.context()->ChangedSinceRead(), expected == read);
    EXPECT_EQ(BackendStore(db_)
                  .Call("SC000001")
                  ->properties[CallProperty::ActionProblem]
                  .text,
              expected == read ? "jam" : expected);
  }

  // The same change again changes nothing: the back end answers nothing.
  auto [again, m_again] =
      update({{u"OPTION", u"5"}, {u"WAITINGDESC", u"parts"}});
  EXPECT_EQ(Show(*QueryInterface<Dictionary>(again.AsObject())),
            "{CHANGEDFLAG: Integer 2}");

  auto [r7, m7] = update({{u"OPTION", 7}, {u"Q_TEXT", u"more"}});
  auto [r6, m6] =
      update({{u"OPTION", 6}, {u"SOLUTIONTEXT", String(5000, u's')}});
  auto d6 = QueryInterface<Dictionary>(r6.AsObject());
  EXPECT_EQ(d6->Item(u"STATUS"), Variant::Byte(30));
  EXPECT_EQ(d6->Item(u"SERVICEORDER"), Variant(u"SO000001"));

  std::optional<StoredCall> call = BackendStore(db_).Call("SC000001");
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->text,
            (std::vector<std::string>{"\r\n", "more"}));  // appended
  EXPECT_EQ(call->solution_text.size(), 3u);
  EXPECT_EQ(call->properties[CallProperty::ActionProblem].text,
            "");  // option 6 wrote it
  EXPECT_EQ(call->properties[CallProperty::WaitingDescription].text, "parts");

  auto [late, message] = update({{u"OPTION", 1}, {u"PROBLEM", u"again"}});
  EXPECT_EQ(message, Variant(u"Service call SC000001 is completed; the change "
                             u"was refused"));
  EXPECT_EQ(QueryInterface<Dictionary>(late.AsObject())->Item(u"STATUS"),
            Variant::Byte(30));
}

TEST_P(BackendCaseTest, SerializedItemsRegisteredChangedAndRefused) {
  auto table =
      [](std::initializer_list<std::pair<const char16_t*, const char16_t*>>
             rows) {
        SafeArray a(ElementType::Variant,
                    {{0, static_cast<int32_t>(rows.size())}, {0, 2}});
        int32_t r = 0;
        for (const auto& [k, v] : rows) {
          a.Set({r, 0}, k);
          a.Set({r, 1}, v);
          ++r;
        }
        return Variant(std::move(a));
      };
  Variant component = u"Items";
  Variant values = table({{u"SERIALNUMBER", u"S-1"}, {u"ITEM", u"PRN"}});
  Variant error;
  calls_->CreateSerializedItem(values, component, error);
  EXPECT_TRUE(error.IsEmpty());
  calls_->CreateSerializedItem(values, component, error);
  EXPECT_EQ(error, Variant(u"Serialized item 'S-1' already exists"));

  Variant change = table({{u"SERIALNUMBER", u"S-1"}, {u"LOCATION", u"Hall"}});
  Variant change_error;
  calls_->UpdateSerializedItem(change, component, change_error);
  EXPECT_TRUE(change_error.IsEmpty());
  Variant unknown = table({{u"SERIALNUMBER", u"S-9"}});
  calls_->UpdateSerializedItem(unknown, component, change_error);
  EXPECT_EQ(change_error, Variant(u"Serialized item 'S-9' not found"));

  std::optional<StoredItem> item = BackendStore(db_).Item("S-1");
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->fields.size(), 3u);
  EXPECT_EQ(item->fields[2].second, "Hall");
  EXPECT_EQ(LogLines(), 2);  // two refusals
}

// What the console looks up: master data and items found by a search over
// key and columns in either case, past the first page read, up to the
// limit; the queue's count; the queue by last change.
TEST_P(BackendCaseTest, DeskLookupsFindCountAndOrder) {
  BackendStore store(db_);
  std::string partners = R"({"businessPartners": [)";
  for (int n = 0; n < 300; ++n)
    partners += (n ? "," : "") + std::string(R"({"number": "BP-P)") +
                std::to_string(1000 + n) + R"(", "name": "Partner"})";
  store.LoadMasterData(partners + "]}");
  for (const char* item : {"S-1,PRN-4410", "S-2,SCN-1", "S-3,prn-x"}) {
    std::string text = item;
    std::string serial = text.substr(0, 3), name = text.substr(4);
    ASSERT_EQ(
        store.CreateItem("Items", {{"SERIALNUMBER", serial}, {"ITEM", name}})
            .refusal,
        "");
  }
  auto keys = [](const std::vector<MasterEntry>& entries) {
    std::vector<std::string> out;
    for (const MasterEntry& e : entries) out.push_back(e.key);
    return out;
  };
  using Keys = std::vector<std::string>;
  struct Case {
    MasterList list;
    const char* search;
    int64_t limit;
    Keys found;
  } cases[] = {
      {MasterList::kBusinessPartners, "", 2, {"BP-1", "BP-P1000"}},
      {MasterList::kBusinessPartners, "ACME", 20, {"BP-1"}},
      {MasterList::kBusinessPartners, "p1299", 20, {"BP-P1299"}},
      {MasterList::kBusinessPartners, "partner", 300, {}},  // all 300: counted
      {MasterList::kBusinessPartners, "zz", 20, {}},
      {MasterList::kServiceObjects, "k-2", 20, {"PRN-2"}},
      {MasterList::kServiceObjects, "standard", 20, {"PRN-1"}},
  };
  for (const Case& c : cases) {
    std::vector<MasterEntry> found =
        store.FindMaster(c.list, c.search, c.limit);
    if (std::string(c.search) == "partner")
      EXPECT_EQ(found.size(), 300u);
    else
      EXPECT_EQ(keys(found), c.found) << c.search;
  }
  std::optional<MasterEntry> acme =
      store.MasterOf(MasterList::kBusinessPartners, "BP-1");
  ASSERT_TRUE(acme.has_value());
  EXPECT_EQ(
      acme->columns,
      (std::vector<std::pair<std::string, std::string>>{{"name", "Acme"}}));
  EXPECT_FALSE(store.MasterOf(MasterList::kBusinessPartners, "bp-1"));
  std::optional<MasterEntry> prn =
      store.MasterOf(MasterList::kServiceObjects, "PRN-1");
  ASSERT_TRUE(prn.has_value());
  EXPECT_EQ(prn->columns.at(2).second, "Standard");

  struct ItemCase {
    std::optional<std::string> after, text;
    int64_t limit;
    Keys found;
  } item_cases[] = {
      {std::nullopt, "prn", 10, {"S-1", "S-3"}},
      {std::nullopt, "PRN", 1, {"S-1"}},
      {"S-1", "prn", 10, {"S-3"}},
      {std::nullopt, "s-2", 10, {"S-2"}},
      {std::nullopt, std::nullopt, 2, {"S-1", "S-2"}},
  };
  for (const ItemCase& c : item_cases) {
    Keys found;
    for (const StoredItem& item : store.Items({c.after, c.limit, c.text}))
      found.push_back(item.serial);
    EXPECT_EQ(found, c.found) << c.text.value_or("(all)");
  }

  // The queue's count: up to a cap, filtered, without `after`.
  for (const char* partner : {"BP-1", "BP-2", "BP-1"}) {
    CallData call;
    call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                            partner, 0};
    ASSERT_TRUE(store.CreateCall("", call).stored.has_value());
  }
  CallQuery bp1;
  bp1.sold_to = "BP-1";
  EXPECT_EQ(store.CountCalls({}, 10), 3);
  EXPECT_EQ(store.CountCalls({}, 2), 2);
  EXPECT_EQ(store.CountCalls(bp1, 10), 2);

  // The queue by last change: the call changed a second later comes first,
  // ties go newest first, and `after` names a call passed in this order.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  CallData change;
  change.properties[CallProperty::CallNumber] = {VarType::String, "SC000001",
                                                 0};
  change.properties[CallProperty::Problem] = {VarType::String, "P-1", 0};
  ASSERT_TRUE(store.ChangeCall("", change).stored.has_value());
  auto numbers = [&](CallQuery query) {
    query.newest_change_first = true;
    Keys out;
    for (const StoredCall& call : store.Calls(query))
      out.push_back(call.call_number);
    return out;
  };
  CallQuery after_first, after_third, one;
  after_first.after = "SC000001";
  after_third.after = "SC000003";
  one.limit = 1;
  EXPECT_EQ(numbers({}), (Keys{"SC000001", "SC000003", "SC000002"}));
  EXPECT_EQ(numbers(after_first), (Keys{"SC000003", "SC000002"}));
  EXPECT_EQ(numbers(after_third), (Keys{"SC000002"}));
  EXPECT_EQ(numbers(bp1), (Keys{"SC000001", "SC000003"}));
  EXPECT_EQ(numbers(one), (Keys{"SC000001"}));
  // A call without a status is status 0 in either order, and counted so.
  CallQuery no_status;
  no_status.status = 0;
  EXPECT_EQ(numbers(no_status), (Keys{"SC000001", "SC000003", "SC000002"}));
  EXPECT_EQ(store.CountCalls(no_status, 10), 3);
}

TEST_P(BackendCaseTest, ConcurrentSubmitsLoseNothing) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> numbers(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Ref<CallsInterface> calls = NewCalls();
      for (int i = 0; i < kEach; ++i) {
        Ref<Dictionary> d = MakeRef<Dictionary>();
        d->Add(u"SOLDTOBP", u"BP-1");
        d->Add(u"Q_TEXT", String(2100, u'a' + t));
        Variant error;
        Ref<Dictionary> r = calls->CreateCall(d, error);
        if (r && r->Exists(u"CALLNUMBER"))
          numbers[t].push_back(ToUtf8(r->Item(u"CALLNUMBER").AsString()));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> unique;
  for (const auto& list : numbers) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<StoredCall> stored = BackendStore(db_).Calls();
  EXPECT_EQ(stored.size(), static_cast<size_t>(kThreads * kEach));
  for (const StoredCall& c : stored) EXPECT_EQ(c.text.size(), 2u);
  EXPECT_EQ(LogLines(), 0);
}

// Writers on stores of their own (connections of their own on a server)
// create calls while a follower reads the event log a page at a time from
// its last position, restarting now and then from the last position it
// saved: it sees every create exactly once, in position order, though
// transactions commit in any order.
TEST_P(BackendCaseTest, AFollowerSeesEveryWriteOnceInOrder) {
  constexpr int kWriters = 6, kEach = 50;
  std::atomic<int> writing{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      BackendStore store(db_);
      store.SetActor("writer-" + std::to_string(w), "");
      CallData call;
      call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                              "BP-1", 0};
      for (int i = 0; i < kEach; ++i) store.CreateCall("Desk", call);
      --writing;
    });
  operations::Context context;
  operations::BackendSetup backend;
  backend.db = db_;
  backend.context = &context;
  std::vector<int64_t> seen;  // positions, as the follower kept them
  std::vector<std::string> calls;
  size_t saved = 0;  // what the follower saved before a restart
  std::mt19937 random(7);
  for (int round = 0; round < 1000000; ++round) {
    bool done = writing == 0;
    if (random() % 5 == 0) {  // restarts from what it saved
      seen.resize(saved);
      calls.resize(saved);
    }
    operations::EventQuery query;
    query.after = seen.empty() ? 0 : seen.back();
    query.limit = 1 + static_cast<int64_t>(random() % 40);
    operations::EventPage page = operations::ReadEvents(backend, query);
    ASSERT_FALSE(page.gone);
    for (const auto& event : page.events) {
      seen.push_back(event["position"].get<int64_t>());
      calls.push_back(event["call"].get<std::string>());
      EXPECT_EQ(event["operation"], "create-call");
      EXPECT_EQ(event["channel"], "host");
      EXPECT_TRUE(event["done"].get<bool>());
    }
    EXPECT_EQ(page.next, seen.empty() ? 0 : seen.back());
    if (random() % 3 == 0) saved = seen.size();
    if (done && page.events.empty()) break;
  }
  for (std::thread& t : writers) t.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters * kEach));
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<int64_t>(seen.begin(), seen.end()).size(), seen.size());
  std::set<std::string> numbers;
  for (const StoredCall& c : BackendStore(db_).Calls())
    numbers.insert(c.call_number);
  EXPECT_EQ(std::set<std::string>(calls.begin(), calls.end()), numbers);
}

TEST_P(BackendCaseTest, MalformedMasterDataLoadsNothing) {
  BackendStore store(db_);
  EXPECT_RAISES(store.LoadMasterData("{\"businessPartners\": ["),
                standins::kBackendError);
  EXPECT_RAISES(
      store.LoadMasterData(
          R"({"businessPartners":[{"number":"BP-7"}],"engineerTime":[{"question":"Q"}]})"),
      standins::kBackendError);
  Variant error;
  Create(Details({{u"SOLDTOBP", u"x"}, {u"BPNUMBER", u"BP-7"}}), error);
  EXPECT_FALSE(error.IsEmpty());  // BP-7 was rolled back with the rest
}

// Webhook progress is kept per endpoint, replaced whole, listed in URL
// order; on a server only one connection delivers to an endpoint, and
// another takes it over once that one closes.
TEST_P(BackendCaseTest, WebhookProgressIsKeptAndOneConnectionDelivers) {
  BackendStore store(db_);
  EXPECT_FALSE(store.WebhookProgressOf("e1"));
  WebhookProgress first{"e1", "http://127.0.0.1:9/b", 7, 1, 3, "HTTP 503", 0};
  WebhookProgress second{"e2", "http://127.0.0.1:9/a", 2, 0, 0, "", 0};
  store.PutWebhookProgress(first);
  store.PutWebhookProgress(second);
  first.delivered = 9;
  first.attempts = 0;
  store.PutWebhookProgress(first);  // replaced, not added
  std::vector<WebhookProgress> all = store.AllWebhookProgress();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].endpoint, "e2");
  EXPECT_GT(all[1].updated, 0);  // stamped by the database's clock
  first.updated = all[1].updated;
  EXPECT_EQ(all[1], first);
  EXPECT_EQ(*store.WebhookProgressOf("e1"), first);

  auto other = std::make_unique<BackendStore>(db_);
  EXPECT_TRUE(other->HoldWebhookEndpoint("00ab12cd"));
  EXPECT_TRUE(other->HoldWebhookEndpoint("00ab12cd"));  // still its own
  // A pooler in transaction mode keeps no session lock (the operator's
  // guide says so): only a direct connection holds the endpoint.
  bool server = IsPostgresUri(db_);
  if (GetParam().name != "Pgbouncer") {
    EXPECT_EQ(store.HoldWebhookEndpoint("00ab12cd"), !server);
  }
  EXPECT_TRUE(store.HoldWebhookEndpoint("7fffffff"));  // another endpoint
  other.reset();  // a server ends the closed session's locks soon after
  bool taken = false;
  for (int i = 0; i < 100 && !taken; ++i)
    if (!(taken = store.HoldWebhookEndpoint("00ab12cd")))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(taken);
}

// Values that a storage spelling could mangle come back byte for byte, and
// the listing's filters find exactly the calls that hold them: a value cut
// at its NUL, or a text found inside an escape, would find others too.
TEST_P(BackendCaseTest, AwkwardValuesComeBackAsStoredAndAreFound) {
  const std::string awkward[] = {
      R"(He said "hi" \ \u0041 /)",
      "tab\tline\nbreak\r\x01\x1f",
      std::string("nul\0inside", 10),
      "nul",
      "\xc3\xbc"
      "n\xc3\xaf"
      "c\xc3\xb6"
      "d\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80",
      R"({"Status":["Integer",30]}</script>)",
      "",
  };
  BackendStore store(db_);
  for (const std::string& value : awkward) {
    SCOPED_TRACE(::testing::PrintToString(value));
    CallData call;
    call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                            "BP " + value, 0};
    call.properties[CallProperty::CallDescription] = {VarType::String,
                                                      "desc " + value, 0};
    call.properties[CallProperty::Priority] = {VarType::Byte, "", 255};
    call.text = StoredText{{value, "second " + value}, ""};
    SubmitOutcome created = store.CreateCall("C", call, "");
    ASSERT_TRUE(created.stored);
    std::optional<StoredCall> read = store.Call(created.stored->call_number);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->properties, created.stored->properties);
    EXPECT_EQ(read->text, (std::vector<std::string>{value, "second " + value}));
    EXPECT_TRUE(read->solution_text.empty());
  }
  std::vector<std::string> texts(std::begin(awkward), std::end(awkward) - 1);
  texts.insert(texts.end(), {"u0000", std::string("\0", 1), "n", "\\"});
  for (const std::string& text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    size_t partners = 0, descriptions = 0;
    for (const std::string& value : awkward) {
      partners += value == text;
      descriptions += ("desc " + value).find(text) != std::string::npos;
    }
    CallQuery by_partner, by_text;
    by_partner.sold_to = "BP " + text;
    by_text.text = text;
    EXPECT_EQ(store.Calls(by_partner).size(), partners);
    EXPECT_EQ(store.Calls(by_text).size(), descriptions);
  }
}

// Exactly once on every engine: a request made again under its key is
// answered as the first time and writes nothing; the key with another
// request is refused.
TEST_P(BackendCaseTest, ARequestUnderAKeyIsCarriedOutOnce) {
  auto create = [&](const char16_t* partner, const char16_t* key,
                    Variant& error) {
    TransactionScope scope(key);
    Ref<Dictionary> r = Create(Details({{u"SOLDTOBP", partner}}), error);
    return std::make_pair(r ? Show(*r) : "Nothing",
                          scope.context()->Replayed());
  };
  Variant e1, e2, e3;
  auto first = create(u"BP-1", u"k", e1);
  auto again = create(u"BP-1", u"k", e2);
  auto other = create(u"BP-2", u"k", e3);
  EXPECT_FALSE(first.second);
  EXPECT_TRUE(again.second);
  EXPECT_EQ(again.first, first.first);
  EXPECT_EQ(e3, Variant(u"Request key 'k' was already used for a different "
                        u"request; nothing was written"));
  EXPECT_EQ(BackendStore(db_).Calls().size(), 1u);

  // Items, the same way.
  SafeArray a(ElementType::Variant, {{0, 2}, {0, 2}});
  a.Set({0, 0}, u"SERIALNUMBER");
  a.Set({0, 1}, u"S-7");
  a.Set({1, 0}, u"ITEM");
  a.Set({1, 1}, u"PRN");
  for (int round = 0; round < 2; ++round) {
    TransactionScope scope(u"item-key");
    Variant values = a, component = u"Items", error;
    calls_->CreateSerializedItem(values, component, error);
    EXPECT_TRUE(error.IsEmpty()) << round;
    EXPECT_EQ(scope.context()->Replayed(), round == 1);
  }

  // A key kept without its caller's name for the request (as an earlier
  // Quillet kept them) still knows a retry by what it submits.
  BackendStore store(db_);
  CallData call;
  call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                          "BP-1", 0};
  ASSERT_TRUE(store.CreateCall("Desk", call, "unnamed").stored);
  store.SetRequestName("the caller's name");
  EXPECT_TRUE(store.CreateCall("Desk", call, "unnamed").replayed);
  call.properties[CallProperty::SoldToBusinessPartner].text = "BP-2";
  EXPECT_FALSE(store.CreateCall("Desk", call, "unnamed").stored);

  // An answer kept for a request that never reached a write: the same
  // request finds it, another (or a write) under the key is refused; a
  // write's own record is this request's when its name is.
  using By = KeyHolding::By;
  struct Keep {
    const char *key, *op, *name;
    By by;
    const char* answer;
  } keeps[] = {
      {"refused", "create-call", "n1", By::kKeptNow, ""},
      {"refused", "create-call", "n1", By::kThisRequest, "kept"},
      {"refused", "create-call", "n2", By::kAnotherRequest, ""},
      {"refused", "update-call", "n1", By::kAnotherRequest, ""},
      {"named", "create-call", "the caller's name", By::kThisRequest, ""},
      {"named", "create-call", "another name", By::kAnotherRequest, ""},
  };
  store.SetRequestName("the caller's name");
  ASSERT_TRUE(store.CreateCall("Desk", call, "named").stored);
  for (const Keep& k : keeps) {
    SCOPED_TRACE(std::string(k.key) + " " + k.op + " " + k.name);
    KeyHolding held = store.KeepAnswer(k.key, k.op, k.name, "kept");
    EXPECT_EQ(held.by, k.by);
    EXPECT_EQ(held.answer, k.answer);
  }
  store.SetRequestName("n1");
  SubmitOutcome refused = store.CreateCall("Desk", call, "refused");
  EXPECT_FALSE(refused.stored);
  ASSERT_EQ(refused.messages.size(), 1u);
  EXPECT_EQ(refused.messages[0].rfind("Request key 'refused'", 0), 0u);
}

// Each key lives as long as its own writer asked: a client that keeps keys
// for no time finds its key new again at once, and its prunes leave the
// keys of a client that keeps them for a week.
TEST_P(BackendCaseTest, AKeyLivesAsLongAsItsWriterAsked) {
  CallData call;
  call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                          "BP-1", 0};
  BackendStore week(db_), none(db_);
  none.SetKeyRetention(0);
  auto stored_keys = [&] {
    std::string dump = testing::DumpDatabase(db_);
    size_t at = dump.find("table request_keys\n");
    size_t end = dump.find("table ", at + 1);
    std::string rows = dump.substr(at, end - at);
    return std::count(rows.begin(), rows.end(), '\n') - 1;
  };
  SubmitOutcome kept = week.CreateCall("Desk", call, "kept");
  SubmitOutcome first = none.CreateCall("Desk", call, "brief");
  SubmitOutcome second = none.CreateCall("Desk", call, "brief");
  ASSERT_TRUE(first.stored && second.stored);
  EXPECT_FALSE(second.replayed);
  EXPECT_NE(second.stored->call_number, first.stored->call_number);
  none.CreateCall("Desk", call, "other");  // prunes "brief", keeps "kept"
  EXPECT_EQ(stored_keys(), 2);
  for (BackendStore* store : {&week, &none}) {
    SubmitOutcome again = store->CreateCall("Desk", call, "kept");
    EXPECT_TRUE(again.replayed);
    ASSERT_TRUE(again.stored);
    EXPECT_EQ(again.stored->call_number, kept.stored->call_number);
  }
  EXPECT_EQ(week.Calls().size(), 4u);
}

// Each filter finds exactly its calls, alone and together, in either
// order: calls changed since T include those changed at T; a new call has no
// stored status and is listed as 0, "New"; a text is a substring of the
// description, case and all, whatever its length, found under the description a
// change gave it and no longer under the old, in calls a text index holds
// (after 126 others) and in calls it does not hold yet.
TEST_P(BackendCaseTest, ListingFiltersFindTheirCallsInEitherOrder) {
  BackendStore store(db_);
  CallData other;
  other.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                           "BP-2", 0};
  for (int i = 0; i < 126; ++i) ASSERT_TRUE(store.CreateCall("", other).stored);
  struct Seed {
    const char* partner;
    std::optional<std::string> description;
  } seeds[] = {{"BP-1", "abcXbcd"},  // every trigram of "abcd", not "abcd"
               {"BP-2", "old words"},
               {"BP-1", "Printer jams on tray 2"},
               {"BP-1", std::nullopt}};
  // The calls made in one second (T-1), each change in a second of its
  // own: call 1 changed at T, call 3 at T+1.
  auto next_second = [] {
    for (std::time_t now = std::time(nullptr); std::time(nullptr) == now;)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  next_second();
  std::vector<std::string> numbers;
  for (const Seed& seed : seeds) {
    CallData call;
    call.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                            seed.partner, 0};
    if (seed.description)
      call.properties[CallProperty::CallDescription] = {VarType::String,
                                                        *seed.description, 0};
    numbers.push_back(store.CreateCall("Desk", call).stored->call_number);
  }
  for (int i : {1, 3}) {
    next_second();
    CallData change;
    change.properties[CallProperty::CallNumber] = {VarType::String, numbers[i],
                                                   0};
    change.properties[CallProperty::Status] = {VarType::Integer, "", 15};
    if (i == 1)
      change.properties[CallProperty::CallDescription] = {
          VarType::String,
          "Paper jam: \"tray\" 100% \xc3\xbcn\xc3\xaf"
          "c\xc3\xb6"
          "de_x",
          0};
    ASSERT_TRUE(store.ChangeCall("Desk", change).stored);
  }
  auto listed = [&](CallQuery query, bool newest_changed) {
    query.newest_change_first = newest_changed;
    std::vector<std::string> found;
    for (const StoredCall& c : store.Calls(query))
      if (std::find(numbers.begin(), numbers.end(), c.call_number) !=
          numbers.end())
        found.push_back(c.call_number);
    return found;
  };
  std::vector<std::string> by_change = listed({}, true);
  int64_t changed_at =  // T: when call 1 changed, after 0 and 2, before 3
      store.Call(numbers[1])
          ->properties.at(CallProperty::LastTransactionTime)
          .number;
  struct Case {
    const char* name;
    CallQuery query;
    std::vector<int> found;  // indexes into `numbers`, in sequence order
  } cases[] = {
      {"status new", {.status = 0}, {0, 2}},
      {"status 15", {.status = 15}, {1, 3}},
      {"status 10", {.status = 10}, {}},
      {"sold-to", {.sold_to = "BP-1"}, {0, 2, 3}},
      {"sold-to and status", {.status = 15, .sold_to = "BP-1"}, {3}},
      {"changed since long ago", {.changed_since = 0}, {0, 1, 2, 3}},
      {"changed since later", {.changed_since = INT32_MAX}, {}},
      {"changed since T-1", {.changed_since = changed_at - 1}, {0, 1, 2, 3}},
      {"changed since T", {.changed_since = changed_at}, {1, 3}},
      {"changed since T+1", {.changed_since = changed_at + 1}, {3}},
      {"text", {.text = "jam"}, {1, 2}},
      {"text, other case", {.text = "Jam"}, {}},
      {"text of two letters", {.text = "y "}, {2}},
      {"text of its trigrams only", {.text = "abcd"}, {}},
      {"text at the end", {.text = "bcd"}, {0}},
      {"text with quotes, % and _", {.text = "\"tray\" 100% "}, {1}},
      {"text of wide letters", {.text = "\xc3\xbcn\xc3\xaf"}, {1}},
      {"text of one wide letter", {.text = "\xc3\xaf"}, {1}},
      {"text like a pattern", {.text = "e_x"}, {1}},
      {"LIKE's wildcard is a letter", {.text = "e%x"}, {}},
      {"a changed description", {.text = "old words"}, {}},
      {"text and sold-to", {.sold_to = "BP-2", .text = "jam"}, {1}},
      {"text after a call", {.after = numbers[1], .text = "jam"}, {2}},
      {"sold-to, limited", {.sold_to = "BP-1", .limit = 2}, {0, 2}},
      // Filters the rules apply to each call read (views of open work).
      {"several statuses", {.statuses = {10, 15}}, {1, 3}},
      {"status below 15", {.status_below = 15}, {0, 2}},
      {"any of partners", {.sold_to_any = {"BP-9", "BP-2"}}, {1}},
      {"not waiting, status 15", {.status = 15, .waiting = false}, {1, 3}},
      {"waiting", {.waiting = true}, {}},
      {"several statuses, limited", {.statuses = {15, 10}, .limit = 1}, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> expected;
    for (int i : c.found) expected.push_back(numbers[static_cast<size_t>(i)]);
    EXPECT_EQ(listed(c.query, false), expected);
    if (c.query.after || c.query.limit) continue;  // `after` is order's own
    EXPECT_EQ(store.CountCalls(c.query, 1000),
              static_cast<int64_t>(store.Calls(c.query).size()));
    // The newest-changed order is the unfiltered one, less the others.
    std::vector<std::string> changed;
    for (const std::string& n : by_change)
      if (std::find(expected.begin(), expected.end(), n) != expected.end())
        changed.push_back(n);
    EXPECT_EQ(listed(c.query, true), changed);
  }

  // The dashboard's counts, each group adding up to the 130 calls: by
  // status, by sold-to partner (the top ones, then the rest), and by age
  // since the last change, its bounds exact (call 3 changed at T+1).
  using Partners = std::vector<std::pair<std::string, int64_t>>;
  using Ages = std::vector<int64_t>;
  auto ages = [](const CallTally& t) {
    return Ages(std::begin(t.by_age), std::end(t.by_age));
  };
  CallTally day = store.TallyCalls(1, changed_at + 86400);
  EXPECT_EQ(day.calls, 130);
  EXPECT_EQ(day.by_status, (std::map<int64_t, int64_t>{{0, 128}, {15, 2}}));
  EXPECT_EQ(day.by_sold_to, (Partners{{"BP-2", 127}}));
  EXPECT_EQ(day.other_sold_to, 3);
  EXPECT_EQ(ages(day), (Ages{1, 129, 0, 0}));
  CallTally week = store.TallyCalls(10, changed_at + 7 * 86400);
  EXPECT_EQ(week.by_sold_to, (Partners{{"BP-2", 127}, {"BP-1", 3}}));
  EXPECT_EQ(week.other_sold_to, 0);
  EXPECT_EQ(ages(week), (Ages{0, 0, 1, 129}));
  EXPECT_EQ(ages(store.TallyCalls(10, changed_at + 3 * 86400)),
            (Ages{0, 1, 129, 0}));
}

// A search reads every text of a call (description, problem, caller's and
// customer's names, call and solution text), a word or the start of one,
// letter case and accents aside, in any script; newest first, with the
// match. The calls cross the point where SQLite's index stops and the few
// calls past it are read as they are; call 2's solution comes once it is
// indexed.
TEST_P(BackendCaseTest, SearchFindsEveryTextOfACall) {
  BackendStore store(db_);
  CallData other;
  other.properties[CallProperty::SoldToBusinessPartner] = {VarType::String,
                                                           "BP-2", 0};
  for (int i = 0; i < 125; ++i) ASSERT_TRUE(store.CreateCall("", other).stored);
  auto text = [](std::string value) {
    return StoredText{{std::move(value)}, ""};
  };
  auto property = [](std::string value) {
    return StoredValue{VarType::String, std::move(value), 0};
  };
  std::vector<CallData> seeds(6, other);
  seeds[0].text = text("Tray 2 jams");  // as the README makes a call
  seeds[1].properties[CallProperty::CallDescription] =
      property("Caf\xc3\xa9 cr\xc3\xa8me spilt");
  seeds[2].text = text(
      "\xce\x9a\xce\x95\xce\x99\xce\x9c\xce\x95\xce\x9d\xce\x9f");  // Greek
  seeds[3].text = text(
      "\xd0\x9f\xd0\xa0\xd0\x98\xd0\x9d\xd0\xa2\xd0\x95\xd0\xa0");  // Cyrillic
  seeds[3].properties[CallProperty::Problem] = property("Paper jam");
  seeds[4].properties[CallProperty::CallerName] =
      property("Jos\xc3\xa9 M\xc3\xbcller");
  seeds[4].solution_text = text("cleaned the TRAY rollers");
  seeds[5].properties[CallProperty::SoldToBusinessPartner] =
      property("BP-1");  // Acme
  seeds[5].properties[CallProperty::CallDescription] = property("Noise, jam");
  std::vector<std::string> numbers;
  for (const CallData& seed : seeds)
    numbers.push_back(store.CreateCall("Desk", seed).stored->call_number);
  CallData solved;
  solved.properties[CallProperty::CallNumber] = property(numbers[2]);
  solved.solution_text = StoredText{{"Replaced the fuser"}, "a"};
  ASSERT_TRUE(store.ChangeCall("Desk", solved).stored);
  struct Case {
    const char* name;
    CallQuery query;
    std::vector<int> found;  // indexes into `numbers`, newest first
    const char* match = "";  // in the first one's match
  } cases[] = {
      {"call text only", {.words = "tray"}, {4, 0}, "TRAY"},
      {"every word", {.words = "Tray 2 jams"}, {0}, "Tray 2 jams"},
      {"start of a word, any case", {.words = "TRAY JAM"}, {0}, "jams"},
      {"inside a word", {.words = "ray"}, {}},
      {"accents off", {.words = "cafe CREME"}, {1}, "spilt"},
      {"accents given", {.words = "caf\xc3\xa9"}, {1}},
      {"Greek, lower case", {.words = "\xce\xba\xce\xb5\xce\xb9\xce\xbc"}, {2}},
      {"Cyrillic, lower case",
       {.words = "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbd\xd1\x82\xd0\xb5\xd1\x80"},
       {3}},
      {"problem", {.words = "paper"}, {3}, "Paper jam"},
      {"caller's name", {.words = "jose muller"}, {4}},
      {"solution text added later", {.words = "fuser"}, {2}, "fuser"},
      {"customer's name", {.words = "acme"}, {5}},
      {"words and sold-to", {.sold_to = "BP-1", .words = "jam"}, {5}},
      {"words in three calls", {.words = "jam"}, {5, 3, 0}},
      {"after a call", {.after = numbers[4], .words = "tray"}, {0}},
      {"limited", {.words = "jam", .limit = 2}, {5, 3}},
      {"no words", {.words = "!!"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> expected, found;
    for (int i : c.found) expected.push_back(numbers[static_cast<size_t>(i)]);
    std::vector<StoredCall> calls = store.Calls(c.query);
    for (const StoredCall& call : calls) found.push_back(call.call_number);
    EXPECT_EQ(found, expected);
    if (!calls.empty()) {
      EXPECT_NE(calls[0].match.find(c.match), std::string::npos)
          << calls[0].match;
    }
    if (!c.query.after && !c.query.limit) {
      EXPECT_EQ(store.CountCalls(c.query, 1000),
                static_cast<int64_t>(expected.size()));
    }
  }
}

// Each request runs as a dry run, traced and untraced, then for real,
// traced: the same answer every time (but for the call number on
// PostgreSQL, whose sequence a dry run advances), and the dry runs leave
// every table and the log as they were.
TEST_P(BackendCaseTest, TracesAndDryRunsAnswerAsTheRequestDoes) {
  using nlohmann::ordered_json;
  using Verdict = operations::Verdict;
  const ordered_json update = {
      {"COMPONENT", "Desk"},    {"CALLNUMBER", "SC000001"},
      {"ENGINEER", "ENG-07"},   {"ACTIONDONEBY", "ENG-07"},
      {"PROBLEM", "ROLLER"},    {"SOLUTION", "REPLACED"},
      {"ACTIVITY", "ONSITE"},   {"Q_ID", "Q-1"},
      {"TIMESPENT", "35"},      {"WAITINGDESC", "parts"},
      {"SOLUTIONTEXT", "done"}, {"Q_TEXT", "more"}};
  auto update_with = [&](ordered_json option, std::string number) {
    ordered_json details = update;
    details["OPTION"] = std::move(option);
    details["CALLNUMBER"] = std::move(number);
    return ordered_json{{"op", "update-call"}, {"details", details}};
  };
  auto item = [](const char* op, const char* serial) {
    return ordered_json{
        {"op", op},
        {"component", "Items"},
        {"values",
         ordered_json::array({ordered_json::array({"SERIALNUMBER", serial}),
                              ordered_json::array({"ITEM", "PRN"})})}};
  };
  struct Case {
    std::string name;
    ordered_json request;
    Verdict verdict;
  };
  std::vector<Case> cases = {
      {"create",
       {{"op", "create-call"},
        {"details",
         {{"COMPONENT", "Desk"},
          {"SOLDTOBP", "BP-1"},
          {"OBJECT", "PRN-1"},
          {"Q_TEXT", "Printer jams"},
          {"Q_ID", "Q-1"},
          {"TIMESPENT", "5"}}}},
       Verdict::kDone},
      {"create item", item("create-item", "S-2"), Verdict::kDone},
      {"update item", item("update-item", "S-1"), Verdict::kDone},
      {"refused: an unknown call", update_with(2, "SC999999"),
       Verdict::kNothingRecorded},
      {"refused: an unknown item", item("update-item", "S-404"),
       Verdict::kNothingRecorded},
      {"raised: a row without its value",
       {{"op", "create-item"},
        {"component", "Items"},
        {"values", ordered_json::array({ordered_json::array({"ITEM"})})}},
       Verdict::kRaised},
  };
  for (int option : {1, 2, 3, 4, 5, 7, 9, 6})
    cases.push_back({"update option " + std::to_string(option),
                     update_with(option, "SC000001"), Verdict::kDone});

  // Answers compare without the clock's transaction time (and on
  // PostgreSQL without a new call's number).
  bool sqlite = !IsPostgresUri(db_);
  auto answer = [&](const ordered_json& request,
                    operations::RunOptions options) {
    operations::PreparedOperation op = operations::Prepare(request);
    operations::Outcome outcome = operations::Run(*calls_, op, options);
    ordered_json out = outcome.output;
    if (out["result"].is_object()) {
      out["result"].erase("LASTTRANSTIME");
      if (!sqlite && request["op"] == "create-call")
        out["result"].erase("CALLNUMBER");
    }
    out.erase("dry_run");
    return std::pair{out, outcome.verdict};
  };
  auto stored_call =
      ordered_json{{"op", "create-call"},
                   {"details", {{"COMPONENT", "Desk"}, {"SOLDTOBP", "BP-1"}}}};
  ASSERT_EQ(answer(stored_call, {}).second, Verdict::kDone);
  ASSERT_EQ(answer(item("create-item", "S-1"), {}).second, Verdict::kDone);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = testing::DumpDatabase(db_);
    int log_before = LogLines();
    Trace dry_trace;
    auto dry = answer(c.request, {.dry_run = true, .trace = &dry_trace});
    EXPECT_EQ(answer(c.request, {.dry_run = true}), dry);  // untraced
    EXPECT_EQ(testing::DumpDatabase(db_), before);
    EXPECT_EQ(LogLines(), log_before);
    bool logged = false;
    for (const TraceEvent& e : dry_trace.events())
      logged |= e.kind == TraceEventKind::kWithheld;
    EXPECT_EQ(logged, c.verdict != Verdict::kDone);

    Trace trace;
    auto traced = answer(c.request, {.trace = &trace});
    EXPECT_EQ(traced.second, c.verdict);
    EXPECT_EQ(dry.second, c.verdict);
    EXPECT_EQ(dry.first, traced.first);
    // The service's trace values say what the library's trace lines say.
    for (const Trace* t : {&dry_trace, &trace})
      for (const TraceEvent& e : t->events())
        EXPECT_EQ(operations::DumpJson(cli::TraceEventJson(e)), ToJsonLine(e));
    if (c.verdict != Verdict::kDone) {
      EXPECT_GT(LogLines(), log_before);
    }
  }
}

// The trace of a create: the record's properties set in the operation's
// order, the texts shortened, and every object it made released.
TEST_P(BackendCaseTest, ATracedCreateListsWhatWasSentInOrder) {
  Trace trace;
  {
    TraceScope traced(trace);
    Variant error;
    ASSERT_TRUE(Create(Details({{u"COMPONENT", u"Desk"},
                                {u"SOLDTOBP", u"BP-1"},
                                {u"Q_TEXT", String(100, u'q')}}),
                       error));
  }
  std::vector<std::string> sets, live;
  for (const TraceEvent& e : trace.events()) {
    if (e.kind == TraceEventKind::kSet && e.object == "ServiceCallRecord#1")
      sets.push_back(e.member);
    if (e.kind == TraceEventKind::kCreate) live.push_back(e.object);
    if (e.kind == TraceEventKind::kRelease) std::erase(live, e.object);
    if (e.member == "AddLine") {
      EXPECT_EQ(e.arguments.at(0).length, 102u);
      EXPECT_FALSE(e.arguments.at(0).whole);
      EXPECT_EQ(e.arguments.at(0).value, std::string(24, 'q'));
    }
  }
  EXPECT_EQ(sets, (std::vector<std::string>{
                      "SoldToBusinessPartner", "Site", "ServiceObject",
                      "ObjectNumber", "CallDescription", "Problem", "Priority",
                      "BusinessPartnerNumber", "OriginCode", "CallGroup1",
                      "CallGroup2", "CallerName", "Contact", "Engineer",
                      "CreatedBy", "ActionDoneBy", "TimeSpent", "Text"}));
  EXPECT_TRUE(live.empty());
  EXPECT_EQ(ToJsonLine(trace.events().front()).substr(0, 58),
            R"({"seq":1,"event":"create","object":"ServiceCallManager#1",)");
}

}  // namespace
}  // namespace quillet::standins

namespace quillet::standins {
namespace {

// A run's record as the batch command keeps it: found under another
// identity, unfinished or finished, its lines done never going back, until
// another run of the same file sets it aside.
TEST_P(BackendCaseTest, BatchRunsAreRememberedByFile) {
  BackendStore store(db_);
  auto unfinished = [&](const std::string& identity) {
    std::optional<BatchRun> run = store.StandingBatchRun("/b.jsonl", identity);
    return run ? run->identity + " " + std::to_string(run->lines_done) + "/" +
                     std::to_string(run->lines)
               : std::string("none");
  };
  store.RecordBatchRun({"A", "/b.jsonl", 300, 200, false});
  store.RecordBatchRun({"A", "/b.jsonl", 300, 100, false});
  store.RecordBatchRun({"Z", "/other.jsonl", 9, 0, false});
  struct Step {
    std::function<void()> change;
    const char* asked_by;
    const char* found;
  } steps[] = {
      {[] {}, "B", "A 200/300"},
      {[] {}, "A", "none"},
      {[&] {
         store.RecordBatchRun({"B", "/b.jsonl", 300, 0, false}, true);
       },
       "C", "B 0/300"},
      {[&] {
         store.RecordBatchRun({"B", "/b.jsonl", 300, 300, true});
       },
       "C", "B 300/300"},
      {[&] {
         store.RecordBatchRun({"C", "/b.jsonl", 300, 0, false}, true);
       },
       "C", "none"},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_EQ(unfinished(step.asked_by), step.found) << step.asked_by;
  }
}

}  // namespace
}  // namespace quillet::standins
