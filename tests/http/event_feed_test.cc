// Following the event log: writes from the command appear, with position,
// actor, operation and call, in `quillet events --json`, in GET /events and
// in the audit routes; a stream of Server-Sent Events receives a new call's
// event, resumes after Last-Event-ID without a gap, is bounded per caller,
// and ends at once when the service stops.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "http/server_process.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// What the command prints to standard output, and its exit status.
std::pair<std::string, int> Command(const std::string& args) {
  std::string command = std::string(QUILLET_CLI_PATH) + " " + args;
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;)
    text.append(chunk, n);
  int status = pclose(out);
  return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// GET /events over a raw loopback socket, read as it arrives.
class SseClient {
 public:
  SseClient(int port, const std::string& target, const std::string& extra) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address))
      return;
    std::string request = "GET " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Accept: text/event-stream\r\n" +
                          extra + "\r\n";
    ssize_t sent = send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    (void)sent;
  }
  ~SseClient() { close(fd_); }
  // Reads until `text` has arrived or the connection ended, for at most
  // five seconds; whether it arrived.
  bool WaitFor(const std::string& text) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got.find(text) == std::string::npos && Clock::now() < deadline) {
      char chunk[4096];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0) break;
      if (n > 0) got.append(chunk, static_cast<size_t>(n));
    }
    return got.find(text) != std::string::npos;
  }
  // The ids of the events received, in order.
  std::vector<int64_t> Ids() const {
    std::vector<int64_t> ids;
    for (size_t at = got.find("\nid: "); at != std::string::npos;
         at = got.find("\nid: ", at + 1))
      ids.push_back(std::stoll(got.substr(at + 5)));
    return ids;
  }
  std::string got;

 private:
  int fd_ = -1;
};

std::vector<int64_t> Positions(const json& events) {
  std::vector<int64_t> positions;
  for (const json& e : events) positions.push_back(e["position"]);
  return positions;
}

TEST(EventFeedTest, CommandPageAuditAndStream) {
  testing::TempDir dir;
  ServerProcess server(dir, {});
  ASSERT_GT(server.port(), 0);
  httplib::Client client = server.Client();
  const std::string db = "--db " + dir.Path("q.db") + " --actor ann ";
  ASSERT_EQ(Command(db + "create-call SOLDTOBP=B Q_TEXT=jam").second, 0);
  ASSERT_EQ(
      Command(db + "update-call CALLNUMBER=SC000001 OPTION=1 PROBLEM=p").second,
      0);

  // The command and the page hold the same two events.
  auto [lines, status] = Command(db + "events --json");
  ASSERT_EQ(status, 0);
  json from_command = json::array();
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);)
    from_command.push_back(json::parse(line));
  httplib::Result page = client.Get("/events?after=0");
  ASSERT_TRUE(page && page->status == 200);
  json answer = json::parse(page->body);
  ASSERT_EQ(answer["events"], from_command);
  ASSERT_EQ(from_command.size(), 2u) << lines;
  const char* operations[] = {"create-call", "update-call"};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(from_command[i]["actor"], "ann");
    EXPECT_EQ(from_command[i]["channel"], "command");
    EXPECT_EQ(from_command[i]["operation"], operations[i]);
    EXPECT_EQ(from_command[i]["call"], "SC000001");
  }
  int64_t first = from_command[0]["position"];
  int64_t second = from_command[1]["position"];
  EXPECT_LT(first, second);
  EXPECT_EQ(answer["next"], second);
  // --after resumes after the position it is given.
  EXPECT_EQ(Command(db + "events --json --after " + std::to_string(first))
                .first.find("\"create-call\""),
            std::string::npos);

  // The audit routes read the same log, newest first.
  httplib::Result audit = client.Get("/calls/SC000001/audit");
  ASSERT_TRUE(audit && audit->status == 200);
  EXPECT_EQ(Positions(json::parse(audit->body)),
            (std::vector<int64_t>{second, first}));

  // A stream from now on receives a call created after it opened.
  SseClient live(server.port(), "/events?after=" + std::to_string(second), "");
  ASSERT_TRUE(live.WaitFor("text/event-stream"));
  ASSERT_EQ(
      client.Post("/calls", R"({"SOLDTOBP":"B"})", "application/json")->status,
      201);
  ASSERT_TRUE(live.WaitFor("\"call\":\"SC000002\"")) << live.got;
  EXPECT_NE(live.got.find("event: create-call\ndata: {\"position\":"),
            std::string::npos)
      << live.got;
  // A reconnect after the first event gets every later one, in order.
  httplib::Result rest = client.Get("/events?after=" + std::to_string(first));
  std::vector<int64_t> later = Positions(json::parse(rest->body)["events"]);
  ASSERT_EQ(later.size(), 2u);
  SseClient again(server.port(), "/events?after=0",
                  "Last-Event-ID: " + std::to_string(first) + "\r\n");
  ASSERT_TRUE(again.WaitFor("\"call\":\"SC000002\"")) << again.got;
  EXPECT_EQ(again.Ids(), later);

  // Two open, two more allowed to this client, then 429.
  SseClient third(server.port(), "/events", "");
  SseClient fourth(server.port(), "/events", "");
  ASSERT_TRUE(third.WaitFor("\r\n\r\n") && fourth.WaitFor("\r\n\r\n"));
  SseClient over(server.port(), "/events", "");
  EXPECT_TRUE(over.WaitFor("HTTP/1.1 429")) << over.got;
  EXPECT_NE(over.got.find("Retry-After:"), std::string::npos);
  httplib::Result metrics = client.Get("/metrics");
  EXPECT_NE(metrics->body.find("quillet_event_streams 4"), std::string::npos);

  // Open streams end at once when the service stops, not after the grace.
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_TRUE(live.WaitFor("\r\n0\r\n\r\n"));  // the last chunk
}

}  // namespace
}  // namespace quillet::cli
