// quillet serve --webhook end to end: a receiver on loopback that is down,
// then refuses, then takes deliveries; every event the filter names
// arrives in position order, each signed, a duplicate only under its own
// id; a restarted service carries on from the progress kept in the
// database; `quillet webhooks status` tells where each endpoint stands.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "http/server_process.h"
#include "runtime/mutex.h"
#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace quillet::cli {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kSecret = "whsec-test-5f1c2e9a";

struct Delivery {
  std::string id, signature, body;
};

// The receiver: answers 503 to its first `refusals` requests, then 200.
class Receiver {
 public:
  explicit Receiver(int refusals) : refusals_(refusals) {
    server_.Post("/hook", [this](const httplib::Request& request,
                                 httplib::Response& response) {
      MutexLock lock(mutex_);
      seen_.push_back({request.get_header_value("Quillet-Event-Id"),
                       request.get_header_value("Quillet-Signature"),
                       request.body});
      response.status = refusals_-- > 0 ? 503 : 200;
      if (response.status == 200) acked_.insert(seen_.back().id);
    });
  }
  ~Receiver() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  bool Start(int port) {
    if (!server_.bind_to_port("127.0.0.1", port)) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return true;
  }
  std::vector<Delivery> Seen() {
    MutexLock lock(mutex_);
    return seen_;
  }
  // Waits (at most 20 s) until every id of `ids` was answered 200.
  bool Acknowledged(const std::set<std::string>& ids) {
    for (int i = 0; i < 400; ++i) {
      {
        MutexLock lock(mutex_);
        if (std::includes(acked_.begin(), acked_.end(), ids.begin(), ids.end()))
          return true;
      }
      usleep(50000);
    }
    return false;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  Mutex mutex_;
  int refusals_ GUARDED_BY(mutex_);
  std::vector<Delivery> seen_ GUARDED_BY(mutex_);
  std::set<std::string> acked_ GUARDED_BY(mutex_);
};

// What a receiver checks: "t=<t>,v1=<hex HMAC-SHA256 of "<t>.<body>">",
// t within five minutes.
bool SignatureValid(const std::string& header, const std::string& body) {
  size_t comma = header.find(",v1=");
  if (header.rfind("t=", 0) != 0 || comma == std::string::npos) return false;
  std::string t = header.substr(2, comma - 2);
  if (std::labs(std::time(nullptr) - std::stol(t)) > 300) return false;
  std::string text = t + "." + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), kSecret, static_cast<int>(strlen(kSecret)),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac,
       &size);
  std::ostringstream hex;
  for (unsigned int i = 0; i < size; ++i)
    hex << "0123456789abcdef"[mac[i] >> 4] << "0123456789abcdef"[mac[i] & 15];
  return header.substr(comma + 4) == hex.str();
}

// A loopback port that refuses connections: bound, not listening.
int RefusingPort(int& fd) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // not the server's
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return 0;
  return ntohs(address.sin_port);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(ServerProcess& server, const std::string& path,
           const std::string& body) {
  httplib::Client client = server.Client();
  httplib::Result r = client.Post(path.c_str(), body, "application/json");
  ASSERT_TRUE(r);
  ASSERT_LT(r->status, 300) << r->body;
}

std::string Item(const std::string& serial) {
  return R"({"component":"Items","values":[["SERIALNUMBER",")" + serial +
         R"("],["ITEM","P"]]})";
}

TEST(WebhookTest, DownThenRefusingReceiverGetsEveryEventInOrderAcrossRestart) {
  testing::TempDir dir;
  { std::ofstream(dir.Path("secret")) << kSecret << "\n"; }
  chmod(dir.Path("secret").c_str(), 0600);
  int held = -1;
  int port = RefusingPort(held);
  ASSERT_GT(port, 0);
  std::string url = "http://127.0.0.1:" + std::to_string(port) +
                    "/hook?channel=hidden-query-value";
  const std::vector<std::string> flags = {"--webhook",
                                          url,
                                          "--webhook-secret-file",
                                          dir.Path("secret"),
                                          "--webhook-events",
                                          "create-item,update-item",
                                          "--webhook-retry-base-ms",
                                          "20"};
  Receiver receiver(/*refusals=*/2);
  std::set<std::string> first_ids;
  {
    ServerProcess server(dir, flags);
    ASSERT_GT(server.port(), 0) << Slurp(dir.Path("serve.err"));
    // Positions 1 to 4; the call's (2) is not sent.
    Write(server, "/items", Item("S-1"));
    Write(server, "/calls", R"({"SOLDTOBP":"BP-1","Q_TEXT":"jam"})");
    Write(server, "/items", Item("S-2"));
    Write(server, "/items", Item("S-3"));
    first_ids = {"1", "3", "4"};
    // The receiver is down for a few rounds of backoff.
    for (int i = 0; i < 200; ++i) {
      if (Slurp(dir.Path("serve.err")).find("trying again") !=
          std::string::npos)
        break;
      usleep(50000);
    }
    usleep(300000);
    testing::CliResult down = testing::RunQuillet(
        dir, {"--db", dir.Path("q.db"), "webhooks", "status", "--json"});
    ASSERT_EQ(down.status, 0) << down.err;
    json status = json::parse(down.out);
    ASSERT_EQ(status.size(), 1u) << down.out;
    EXPECT_EQ(status[0]["position"], 0);
    EXPECT_EQ(status[0]["lag"], 4);
    EXPECT_GE(status[0]["attempts"].get<int>(), 2);
    EXPECT_NE(status[0]["last_failure"].dump().find("cannot connect"),
              std::string::npos);
    close(held);
    ASSERT_TRUE(receiver.Start(port));
    ASSERT_TRUE(receiver.Acknowledged(first_ids));
    EXPECT_EQ(server.Stop(SIGTERM), 0);
  }
  std::string first_err = Slurp(dir.Path("serve.err"));
  unlink(dir.Path("serve.err").c_str());  // not the next one's address
  size_t before_restart = receiver.Seen().size();
  {
    ServerProcess server(dir, flags);
    ASSERT_GT(server.port(), 0);
    Write(server, "/items", Item("S-4"));  // position 5
    ASSERT_TRUE(receiver.Acknowledged({"5"}));
    EXPECT_EQ(server.Stop(SIGTERM), 0);
  }
  std::vector<Delivery> seen = receiver.Seen();
  // Each delivery signed, its id its event's position, a duplicate under
  // its own id with the same body; ids arrive in order, none left out.
  std::map<std::string, std::string> bodies;
  std::vector<std::string> order;
  for (size_t i = 0; i < seen.size(); ++i) {
    const Delivery& d = seen[i];
    EXPECT_TRUE(SignatureValid(d.signature, d.body)) << d.signature;
    json event = json::parse(d.body);
    EXPECT_EQ(std::to_string(event["position"].get<int64_t>()), d.id);
    EXPECT_EQ(event["operation"], "create-item");
    auto [it, first] = bodies.emplace(d.id, d.body);
    EXPECT_EQ(it->second, d.body);
    if (first) order.push_back(d.id);
    // After the restart, nothing acknowledged before it but the last
    // event, which may have been in flight.
    if (i >= before_restart) {
      EXPECT_TRUE(d.id == "4" || d.id == "5") << d.id;
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"1", "3", "4", "5"}));
  EXPECT_GE(seen.size(), 6u);  // the two refusals were sent again

  testing::CliResult after = testing::RunQuillet(
      dir, {"--db", dir.Path("q.db"), "webhooks", "status", "--json"});
  ASSERT_EQ(after.status, 0) << after.err;
  json status = json::parse(after.out);
  EXPECT_EQ(status[0]["url"],
            "http://127.0.0.1:" + std::to_string(port) + "/hook");
  EXPECT_EQ(status[0]["position"], 5);
  EXPECT_EQ(status[0]["lag"], 0);
  EXPECT_EQ(status[0]["attempts"], 0);
  EXPECT_EQ(status[0]["given_up"], 0);
  EXPECT_NE(status[0]["last_failure"].dump().find("HTTP 503"),
            std::string::npos);
  // Neither the secret nor the URL's query is ever shown.
  for (const std::string& shown :
       {after.out, first_err, Slurp(dir.Path("serve.err"))})
    for (const char* hidden : {kSecret, "hidden-query-value"})
      EXPECT_EQ(shown.find(hidden), std::string::npos) << shown;
}

}  // namespace
}  // namespace quillet::cli
