// quillet serve end to end: the real server on a free loopback port, a real
// HTTP client, every route and status, Idempotency-Key, tokens and the audit
// trail, and stopping (gracefully, and killed) under load. The connection
// layer's limits and slow clients: connection_test.cc.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "http/server_process.h"
#include "quillet/standins/backend_store.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

struct Exchange {
  std::string method, path, body;
  int status;
  std::string in_body;  // the answer contains this
  httplib::Headers headers = {};
};

void Check(httplib::Client& client, const Exchange& e) {
  SCOPED_TRACE(e.method + " " + e.path + " " + e.body.substr(0, 60));
  httplib::Result r =
      e.method == "GET" ? client.Get(e.path.c_str(), e.headers)
      : e.method == "POST"
          ? client.Post(e.path.c_str(), e.headers, e.body, "application/json")
          : client.Put(e.path.c_str(), e.headers, e.body, "application/json");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, e.status) << r->body;
  EXPECT_NE(r->body.find(e.in_body), std::string::npos) << r->body;
}

TEST(HttpTest, EveryRouteAndStatus) {
  testing::TempDir dir;
  ServerProcess server(
      dir, {"--body-limit", "4096", "--trace", dir.Path("trace.jsonl")});
  ASSERT_GT(server.port(), 0);
  httplib::Client client = server.Client();
  const std::string item =
      R"({"component":"Items","values":[["SERIALNUMBER","S-1"],["ITEM","P"]]})";
  const httplib::Headers dry = {{"Quillet-Dry-Run", "true"},
                                {"Quillet-Trace", "true"}};
  const Exchange exchanges[] = {
      // A dry run answers what the request would (the same number), with
      // what it sent; the real request then gets that number.
      {"POST", "/calls", R"({"SOLDTOBP":"BP-1","Q_TEXT":"jam"})", 200,
       R"("member":"SubmitNewCalls","args":[{"type":"Object")", dry},
      {"POST",
       "/calls",
       R"({"SOLDTOBP":"BP-1"})",
       400,
       "Quillet-Dry-Run takes true or false, not 'yes'",
       {{"Quillet-Dry-Run", "yes"}}},
      {"POST", "/calls", R"({"SOLDTOBP":"BP-1","Q_TEXT":"jam"})", 201,
       R"({"result":{"CALLNUMBER":"SC000001","LASTTRANSTIME":)"},
      {"POST", "/calls", R"({"SITE":"x"})", 424,
       "Call refused: a sold-to business partner is required"},
      {"POST", "/calls", "{bad", 400, "the body is not valid JSON"},
      {"POST", "/calls", std::string(100, '[') + std::string(100, ']'), 400,
       "nested too deeply"},
      {"POST", "/calls", R"({"Q_TEXT":")" + std::string(5000, 'x') + "\"}", 413,
       "over the size limit"},
      {"POST", "/calls/SC000001/changes", R"({"OPTION":"x"})", 422,
       R"("error":{"number":13)"},
      {"POST", "/calls/SC000001/changes", R"({"OPTION":1,"PROBLEM":"p"})", 200,
       R"({"result":{"LASTTRANSTIME":)"},
      // Read as of its creation (the event at position 1), changed since:
      // refused, nothing stored, answered with the call as it is; "*"
      // matches the call whatever its version.
      {"POST",
       "/calls/SC000001/changes",
       R"({"OPTION":1,"PROBLEM":"q"})",
       412,
       R"("ActionProblem":"p")",
       {{"If-Match", "\"1\""}}},
      {"POST",
       "/calls/SC000001/changes",
       R"({"OPTION":1,"PROBLEM":"p2"})",
       200,
       R"({"result":{"LASTTRANSTIME":)",
       {{"If-Match", "*"}}},
      {"POST", "/calls/SC000001/changes", R"({"CALLNUMBER":"SC9","OPTION":1})",
       400, "CALLNUMBER differs"},
      {"GET", "/calls?limit=10&status=15", "", 200, "\"SC000001\""},
      {"GET", "/calls?limit=x", "", 400, "?limit must be a whole number"},
      {"GET", "/calls?limit=010&status=015", "", 200, "\"SC000001\""},
      {"GET", "/calls?status=1&limit=9&status=15", "", 400,
       "?status is given more than once"},
      // A cursor naming nothing has nothing after it; an empty one is none.
      {"GET", "/calls?after=SC999999", "", 200, "[]"},
      {"GET", "/items?after=S-404", "", 200, "[]"},
      {"GET", "/calls?after=", "", 200, "\"SC000001\""},
      {"GET", "/calls/SC000001", "", 200, "\"ActionProblem\":\"p2\""},
      {"GET", "/calls/SC404", "", 404, "no service call"},
      {"POST", "/items", item, 201, R"("errorText":null)"},
      {"POST", "/items", item, 424, "already exists"},
      {"PUT", "/items/S-1",
       R"({"component":"Items","values":[["SERIALNUMBER","S-1"],["ROOM","2"]]})",
       200, R"("errorText":null)"},
      {"PUT", "/items/S-2", item, 400, "SERIALNUMBER differs"},
      // The path names the item: the SERIALNUMBER row may be left out.
      {"PUT", "/items/S-1", R"({"component":"Items","values":[["ROOM","2"]]})",
       200, R"("errorText":null)"},
      {"PUT", "/items/S-9",
       R"({"component":"Items","values":[["SERIALNUMBER","S-9"],["ROOM","2"]]})",
       404, "not found"},
      {"POST", "/calls/SC404/changes", R"({"OPTION":1})", 404, "not found"},
      // Stored, it could never be named again.
      {"POST", "/items",
       R"({"component":"Items","values":[["SERIALNUMBER","S\u0085"]]})", 400,
       "a SERIALNUMBER has no control characters"},
      {"POST", "/items",
       R"({"component":"Items","values":[["SERIALNUMBER","Z\nY","more"]]})",
       400, "a SERIALNUMBER has no control characters"},
      {"GET", "/items", "", 200, "\"S-1\""},
      {"GET", "/items/S-1", "", 200, R"("ROOM":"2")"},
      {"GET", "/items/S-9", "", 404, "no serialized item"},
      {"GET", "/time-format?value=90", "", 200, R"({"result":130})"},
      {"GET", "/time-format?value=%22125%22", "", 200, R"({"result":205})"},
      {"GET", "/time-format?value=null", "", 422, R"("number":94)"},
      {"GET", "/time-format?value=abc", "", 400, "not valid JSON"},
      {"GET", "/log?tail=1", "", 200, "Quillet.Calls."},
      // The event log: a page from a position, filtered; the audit routes
      // read it newest first.
      {"GET", "/events?after=0&call=SC000001&operation=update-call", "", 200,
       R"("channel":"service","operation":"update-call","option":1,"call":"SC000001")"},
      {"GET", "/events?limit=0", "", 400, "1 to 1000"},
      {"GET", "/events?after=x", "", 400, "?after must be a whole number"},
      {"GET", "/events?operation=delete-call", "", 400, "?operation is"},
      {"GET", "/items/S-1/audit?tail=3", "", 200,
       R"("operation":"update-item","option":null,"item":"S-1")"},
      {"GET", "/healthz", "", 200, R"({"status":"ok"})"},
      {"GET", "/metrics", "", 200,
       R"(quillet_requests_total{op="create-call",status="201"} 1)"},
      {"GET", "/nowhere", "", 404, "no such route"},
  };
  for (const Exchange& e : exchanges) Check(client, e);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  std::ifstream err(dir.Path("serve.err"));
  std::string access((std::istreambuf_iterator<char>(err)), {});
  EXPECT_NE(access.find(R"({"method":"POST","path":"/calls","status":201,)"),
            std::string::npos);
  std::ifstream trace_file(dir.Path("trace.jsonl"));
  std::string trace((std::istreambuf_iterator<char>(trace_file)), {});
  EXPECT_NE(trace.find(R"("member":"SubmitChangedCalls")"), std::string::npos);
}

TEST(HttpTest, IdempotencyKeyAndToken) {
  testing::TempDir dir;
  std::ofstream(dir.Path("token")) << "s3cret\n";
  ServerProcess server(dir, {"--token-file", dir.Path("token")});
  ASSERT_GT(server.port(), 0);
  httplib::Client client = server.Client();
  httplib::Headers auth = {{"Authorization", "Bearer s3cret"}};
  auto under = [](const std::string& key) {
    return httplib::Headers{{"Authorization", "Bearer s3cret"},
                            {"Idempotency-Key", key}};
  };
  httplib::Headers keyed = under("form-1");
  const std::string bad_item = R"({"component":"Items","values":[["S"]]})";
  const Exchange exchanges[] = {
      {"POST", "/calls", R"({"SOLDTOBP":"B"})", 401, "bearer token", {}},
      {"POST",
       "/calls",
       R"({"SOLDTOBP":"B"})",
       401,
       "bearer token",
       {{"Authorization", "Bearer s3creT"}}},
      {"GET", "/healthz", "", 200, "ok", {}},
      {"POST", "/calls", R"({"SOLDTOBP":"B"})", 201, "SC000001", keyed},
      {"POST", "/calls", R"({"SOLDTOBP":"B"})", 201, "SC000001", keyed},
      {"POST", "/calls", R"({"SOLDTOBP":"C"})", 409,
       "Request key 'form-1' was already used", keyed},
      {"POST", "/items",
       R"({"component":"I","values":[["SERIALNUMBER","S-1"],["ITEM","P"]]})",
       409, "Request key 'form-1' was already used", keyed},
      {"POST", "/calls", R"({"SOLDTOBP":[1]})", 409,
       "Request key 'form-1' was already used", keyed},
      // Refused or raised from its own values before any write: the answer
      // is kept under the key, replayed, and the key is spent on it.
      {"POST", "/calls", R"({"SOLDTOBP":[1]})", 424, "Type mismatch",
       under("form-2")},
      {"POST", "/calls", R"({"SOLDTOBP":"B"})", 409,
       "Request key 'form-2' was already used", under("form-2")},
      {"POST", "/items", bad_item, 422, "Subscript out of range",
       under("form-3")},
      {"POST", "/items", bad_item, 422, "Subscript out of range",
       under("form-3")},
      {"POST", "/items",
       R"({"component":"Items","values":[["SERIALNUMBER","S"],["ITEM","P"]]})",
       409, "Request key 'form-3' was already used", under("form-3")},
      {"POST",
       "/calls",
       R"({"SOLDTOBP":"B"})",
       400,
       "request key has 1 to",
       {{"Authorization", "Bearer s3cret"},
        {"Idempotency-Key", std::string(201, 'k')}}},
      // One or more spaces after the scheme.
      {"GET",
       "/calls",
       "",
       200,
       "SC000001",
       {{"Authorization", "Bearer  s3cret"}}},
  };
  for (const Exchange& e : exchanges) Check(client, e);
  for (const auto& [key, body] : {std::pair{"form-1", R"({"SOLDTOBP":"B"})"},
                                  {"form-2", R"({"SOLDTOBP":[1]})"}}) {
    httplib::Result again =
        client.Post("/calls", under(key), body, "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true") << key;
  }
  server.Stop(SIGTERM);
  EXPECT_EQ(standins::BackendStore(dir.Path("q.db")).Calls().size(), 1u);
}

// `quillet token add` prints a token once and stores its hash (and the
// engineer it is bound to, whose calls are the view "mine"); each token
// is held to its scope, a SIGHUP brings in a token added since (and one
// that revokes them all takes effect, a revoked token told so), the access
// log names the token (never the secret), and the audit trail (the event
// log: the writes the back end carried out, the refusals the service
// recorded) is read by an admin, whole and per call.
TEST(HttpTest, NamedTokensScopesReloadAndAudit) {
  testing::TempDir dir;
  const std::string file = dir.Path("tokens");
  auto add = [&](const std::string& name, const std::string& scope,
                 const std::string& more = "") {
    std::string command = std::string(QUILLET_CLI_PATH) + " token add " + name +
                          " --scope " + scope + " --token-file " + file + more;
    FILE* out = popen(command.c_str(), "r");
    char line[256] = {};
    std::string token = fgets(line, sizeof line, out) ? line : "";
    pclose(out);
    while (!token.empty() && token.back() == '\n') token.pop_back();
    return token;
  };
  const std::string reader = add("reader", "read");
  const std::string writer = add("writer", "write", " --engineer E-7");
  ASSERT_EQ(reader.size(), 64u);
  ASSERT_NE(reader, writer);
  std::ifstream stored_file(file);
  std::string stored((std::istreambuf_iterator<char>(stored_file)), {});
  EXPECT_EQ(stored.find(reader), std::string::npos);
  EXPECT_NE(stored.find("writer write sha256:"), std::string::npos);

  ServerProcess server(dir, {"--token-file", file});
  ASSERT_GT(server.port(), 0);
  httplib::Client client = server.Client();
  auto as = [](const std::string& token) {
    return httplib::Headers{{"Authorization", "Bearer " + token},
                            {"Idempotency-Key", "k-1"}};
  };
  auto with = [](httplib::Headers headers, const std::string& name,
                 const std::string& value) {
    headers.emplace(name, value);
    return headers;
  };
  const std::string call = R"({"SOLDTOBP":"B"})";
  const Exchange exchanges[] = {
      {"POST", "/calls", call, 403, "this token's scope is read", as(reader)},
      {"POST", "/calls", call, 403, "this token's scope is read",
       with(as(reader), "Quillet-Dry-Run", "true")},
      // Refused before the route is read: recorded all the same.
      {"POST", "/calls", std::string(1100000, ' '), 413, "over the size limit",
       as(writer)},
      {"POST", "/calls", call, 400, "allowed once",
       with(as(writer), "Idempotency-Key", "k-2")},
      {"GET", "/calls", "", 200, "[]", as(reader)},
      {"GET", "/calls", "", 401, "bearer token", {}},
      // The view "mine" is the calls of the token's engineer.
      {"GET", "/whoami", "", 200, "E-7", as(writer)},
      {"GET", "/calls?view=mine", "", 200, "[]", as(writer)},
      {"GET", "/calls?view=mine", "", 403, "bound to no engineer", as(reader)},
      {"POST", "/calls", call, 201, "SC000001", as(writer)},
      {"POST", "/calls", call, 201, "SC000001", as(writer)},
      {"GET", "/audit", "", 403, "the request needs admin", as(writer)},
  };
  for (const Exchange& e : exchanges) Check(client, e);
  const std::string boss = add("boss", "admin");
  Check(client, {"GET", "/audit", "", 401, "bearer token", as(boss)});
  server.Signal(SIGHUP);
  std::string body;
  for (int i = 0; i < 50 && body.empty(); ++i) {  // up to 5 s
    httplib::Result audit = client.Get("/calls/SC000001/audit", as(boss));
    if (audit && audit->status == 200) body = audit->body;
    if (body.empty()) usleep(100000);
  }
  ASSERT_FALSE(body.empty());
  // The back end's event of the write; its replay stored none.
  json history = json::parse(body);
  ASSERT_EQ(history.size(), 1u) << body;
  EXPECT_EQ(history[0]["actor"], "writer");
  EXPECT_EQ(history[0]["channel"], "service");
  EXPECT_EQ(history[0]["operation"], "create-call");
  EXPECT_EQ(history[0]["request_key"], "k-1");
  EXPECT_EQ(history[0]["done"], true);
  httplib::Client raw = server.Client();
  raw.set_url_encode(false);
  httplib::Result malformed =
      raw.Post("/calls/SC%G1/changes", as(writer), call, "application/json");
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 400);
  // The refusals by a known token, each recorded by the service (on a
  // thread of its own: waited for).
  const char* refusals[] = {
      R"("actor":"reader","channel":"service","operation":"create-call","option":null,"call":"","request_key":"k-1","dry_run":false,"done":false,"outcome":"refused: 403 this token's scope is read)",
      R"("actor":"reader","channel":"service","operation":"create-call","option":null,"call":"","request_key":"k-1","dry_run":true,"done":false,"outcome":"refused: 403)",
      R"("actor":"writer","channel":"service","operation":"create-call","option":null,"call":"","request_key":"k-1","dry_run":false,"done":false,"outcome":"refused: 413 the request body is over the size limit")",
      R"("actor":"writer","channel":"service","operation":"create-call","option":null,"call":"","request_key":"k-1","dry_run":false,"done":false,"outcome":"refused: 400 a header that is allowed once came twice")",
  };
  std::string all;
  auto holds_all = [&] {
    for (const char* entry : refusals)
      if (all.find(entry) == std::string::npos) return false;
    return true;
  };
  for (int i = 0; i < 50 && !holds_all(); ++i) {  // up to 5 s
    if (i > 0) usleep(100000);
    httplib::Result r = client.Get("/audit?tail=20", as(boss));
    all = r && r->status == 200 ? r->body : "";
  }
  for (const char* entry : refusals)
    EXPECT_NE(all.find(entry), std::string::npos) << entry << "\n" << all;
  // Four refusals and one write: the malformed path names no operation.
  EXPECT_EQ(json::parse(all).size(), 5u) << all;
  // Emptied to revoke every token: after a SIGHUP none is taken.
  std::ofstream(file, std::ios::trunc) << "# revoked\n";
  server.Signal(SIGHUP);
  int status = 0;
  for (int i = 0; i < 50 && status != 401; ++i) {  // up to 5 s
    httplib::Result after = client.Get("/calls", as(boss));
    status = after ? after->status : 0;
    if (status != 401) usleep(100000);
  }
  EXPECT_EQ(status, 401);
  // A token the service took is told it was revoked; any other, only that
  // it is refused (whether such a token exists is not told).
  Check(client, {"GET", "/calls", "", 401, "this token was revoked", as(boss)});
  Check(client, {"GET", "/calls", "", 401, "a bearer token is required",
                 as(std::string(64, 'a'))});
  server.Stop(SIGTERM);
  std::ifstream err(dir.Path("serve.err"));
  std::string log((std::istreambuf_iterator<char>(err)), {});
  EXPECT_NE(log.find(R"("token":"writer")"), std::string::npos);
  EXPECT_EQ(log.find(writer), std::string::npos);
}

// Clients create calls with unique texts while the server is stopped: each
// answered with 201 is stored exactly once, gracefully or killed.
void StopUnderLoad(int signal, bool restart) {
  testing::TempDir dir;
  auto server =
      std::make_unique<ServerProcess>(dir, std::vector<std::string>{});
  ASSERT_GT(server->port(), 0);
  int port = server->port();
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<std::string> confirmed;
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(10, 0);
      for (int i = 0; !stop && i < 5000; ++i) {
        std::string text =
            "client-" + std::to_string(c) + "-" + std::to_string(i);
        std::string key = "k-" + text;
        httplib::Result r = client.Post(
            "/calls", {{"Idempotency-Key", key}},
            R"({"SOLDTOBP":"B","Q_TEXT":")" + text + "\"}", "application/json");
        if (r && r->status == 201) {
          std::lock_guard lock(mutex);
          confirmed.push_back(text + "\r\n");
        }
        if (!r) usleep(10000);
      }
    });
  }
  while (true) {
    {
      std::lock_guard lock(mutex);
      if (confirmed.size() >= 100) break;
    }
    usleep(10000);
  }
  int status = server->Stop(signal);
  if (signal == SIGTERM) {
    EXPECT_EQ(status, 0);
  }
  if (restart)
    server = std::make_unique<ServerProcess>(dir, std::vector<std::string>{});
  usleep(200000);
  stop = true;
  for (std::thread& t : clients) t.join();
  server.reset();
  std::map<std::string, int> stored;
  standins::BackendStore(dir.Path("q.db"))
      .ForEachCall({}, [&](const standins::StoredCall& call) {
        ASSERT_EQ(call.text.size(), 1u);
        ++stored[call.text[0]];
      });
  for (const std::string& text : confirmed) {
    EXPECT_EQ(stored[text], 1) << text;
  }
  for (const auto& [text, n] : stored) {
    EXPECT_EQ(n, 1) << text;
  }
}

TEST(HttpTest, GracefulShutdownUnderLoad) { StopUnderLoad(SIGTERM, false); }
TEST(HttpTest, KilledUnderLoadAndRestarted) { StopUnderLoad(SIGKILL, true); }

}  // namespace
}  // namespace quillet::cli
