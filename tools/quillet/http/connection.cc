#include "http/connection.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <iostream>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quillet/operations/backend.h"

namespace quillet::cli::http {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// At most this much is read ahead of the parser on a connection: a header
// flood costs each connection no more.
constexpr size_t kBufferBytes = 64 * 1024;
constexpr size_t kReadBytes = 16 * 1024;
// After an answer that closes the connection, what the client still sends
// is read (for up to this long, this much) and dropped, so that it gets the
// answer rather than a reset.
constexpr std::chrono::seconds kLinger{2};
constexpr size_t kLingerBytes = 1 << 20;
constexpr std::chrono::milliseconds kAcceptBackoff{50};
// Connections over a cap being answered 503 at once; past this many, more
// are closed unanswered, so that refusing cannot use up the descriptors.
constexpr int kMaxRefusing = 1024;
// Headers a request may carry once only.
constexpr const char* kSingular[] = {"Host",
                                     "Content-Type",
                                     "Authorization",
                                     "Idempotency-Key",
                                     "Quillet-Dry-Run",
                                     "Quillet-Trace",
                                     "Origin"};

class Server;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Server& server, std::string client);
  void Start() { WaitForRequest(); }
  // Answers `status` at once and closes: the connection is over a cap.
  void Refuse(int status, std::string message);
  // Ends the connection unless a request is being answered.
  void StopIfIdle();
  // Whether an answer is owed on it (being read, worked on or written), as
  // opposed to idle or closing.
  bool Owed() const {
    return passed_on_ || state_ == State::kWorking || state_ == State::kWriting;
  }
  void Close();
  bool counted = false;  // in the server's connection counts
  const std::string& client() const { return request_.client; }

 private:
  enum class State { kIdle, kReading, kWorking, kWriting, kClosing };
  void WaitForRequest();
  void ReadHeader();
  void OnHeader(ErrorCode ec);
  void ReadBody();
  void OnRequest(ErrorCode ec);
  void ReadFailed(ErrorCode ec);
  void Write(Response response, bool close);
  void Linger();
  void Drain();
  void Unreserve();
  // Grows this request's share of the body budget to `bytes`; false (and
  // nothing taken) when the budget, or its client's quarter, has no room.
  bool Reserve(size_t bytes);
  void ReadingTooMuch();

  beast::tcp_stream stream_;
  // The whole request's deadline. The stream's own expiry closes the
  // socket, which would leave no way to answer 408.
  asio::steady_timer deadline_;
  bool timed_out_ = false;
  Server& server_;
  beast::flat_buffer buffer_{kBufferBytes};
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  Request request_;
  bool keep_alive_ = false;
  State state_ = State::kIdle;
  size_t lingered_ = 0;
  size_t reserved_ = 0;     // of the server's body budget
  bool passed_on_ = false;  // Quick passed it on: an answer is owed
  bool closed_ = false;
};

class Server {
 public:
  Server(const ConnectionLimits& limits, Handler& handler, int workers)
      : limits(limits), handler(handler), pool(static_cast<size_t>(workers)) {}

  void Accept();
  void WaitForSignal();
  void Added(Session* session) { sessions.insert(session); }
  void Removed(Session* session) {
    sessions.erase(session);
    if (!session->counted) --refusing;
    if (session->counted) {
      --total;
      auto it = per_client.find(session->client());
      if (it != per_client.end() && --it->second == 0) per_client.erase(it);
    }
    if (stopping && sessions.empty()) {
      signals.cancel();
      grace.cancel();
    }
  }

  const ConnectionLimits& limits;
  Handler& handler;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::signal_set signals{io, SIGTERM, SIGINT, SIGHUP};
  asio::steady_timer backoff{io};
  asio::steady_timer grace{io};
  asio::thread_pool pool;
  bool stopping = false;
  int total = 0;
  int refusing = 0;
  // Bytes of bodies being read now, reserved from their Content-Length (a
  // chunked body reserves the whole limit), against the budget.
  size_t body_bytes = 0;
  std::unordered_map<std::string, size_t> client_body_bytes;  // a quarter each
  std::unordered_set<Session*> sessions;
  std::unordered_map<std::string, int> per_client;
};

Session::Session(tcp::socket socket, Server& server, std::string client)
    : stream_(std::move(socket)),
      deadline_(stream_.get_executor()),
      server_(server) {
  request_.client = std::move(client);
  request_.start = std::chrono::steady_clock::now();
  server_.Added(this);
}

void Session::Unreserve() {
  if (reserved_ == 0) return;
  server_.body_bytes -= reserved_;
  auto mine = server_.client_body_bytes.find(request_.client);
  if ((mine->second -= reserved_) == 0) server_.client_body_bytes.erase(mine);
  reserved_ = 0;
}

bool Session::Reserve(size_t bytes) {
  if (bytes <= reserved_) return true;
  size_t more = bytes - reserved_;
  size_t& mine = server_.client_body_bytes[request_.client];
  if (server_.body_bytes + more > server_.limits.body_budget ||
      mine + more > server_.limits.body_budget / 4) {
    if (mine == 0) server_.client_body_bytes.erase(request_.client);
    return false;
  }
  server_.body_bytes += more;
  mine += more;
  reserved_ += more;
  return true;
}

void Session::ReadingTooMuch() {
  Unreserve();
  Response busy{503, "application/json",
                R"({"message":"the service is reading too many bodies"})"};
  busy.Set("Retry-After", "1");
  Write(std::move(busy), true);
}

void Session::WaitForRequest() {
  if (server_.stopping) return Linger();
  if (buffer_.size() > 0) return ReadHeader();  // pipelined
  state_ = State::kIdle;
  stream_.expires_after(server_.limits.idle);
  stream_.async_read_some(buffer_.prepare(kReadBytes),
                          [self = shared_from_this()](ErrorCode ec, size_t n) {
                            if (ec)
                              return self->Close();  // quiet, gone, or stopping
                            self->buffer_.commit(n);
                            self->ReadHeader();
                          });
}

void Session::ReadHeader() {
  state_ = State::kReading;
  std::string client = std::move(request_.client);
  request_ = Request{};
  request_.client = std::move(client);
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(server_.limits.header_bytes));
  parser_->body_limit(server_.limits.body_bytes);
  request_.start = std::chrono::steady_clock::now();
  stream_.expires_never();
  timed_out_ = false;
  deadline_.expires_after(server_.limits.request_deadline);
  deadline_.async_wait([self = shared_from_this()](ErrorCode ec) {
    if (ec || self->state_ != State::kReading) return;
    self->timed_out_ = true;
    ErrorCode ignored;
    self->stream_.socket().cancel(ignored);
  });
  bhttp::async_read_header(stream_, buffer_, *parser_,
                           [self = shared_from_this()](ErrorCode ec, size_t) {
                             self->OnHeader(ec);
                           });
}

void Session::OnHeader(ErrorCode ec) {
  if (ec) return ReadFailed(ec);
  const auto& message = parser_->get();
  request_.method = std::string(message.method_string());
  std::string_view target(message.target().data(), message.target().size());
  for (const auto& field : message)
    request_.headers.emplace_back(std::string(field.name_string()),
                                  std::string(field.value()));
  keep_alive_ = message.keep_alive();
  if (message.count(bhttp::field::host) != 1)
    return Write({400, "application/json",
                  R"({"message":"a request needs one Host header"})"},
                 true);
  for (const char* name : kSingular)
    if (message.count(name) > 1)
      return Write(
          {400, "application/json",
           R"({"message":"a header that is allowed once came twice"})"},
          true);
  // Only chunked framing is read: another coding would reach the route
  // still encoded, or framed in a way the parser does not see.
  if (message.count(bhttp::field::transfer_encoding) > 0 &&
      !(message.count(bhttp::field::transfer_encoding) == 1 &&
        beast::iequals(message[bhttp::field::transfer_encoding], "chunked")))
    return Write({400, "application/json",
                  R"({"message":"only chunked transfer coding is taken"})"},
                 true);
  if (!ParseTarget(target, request_))
    return Write({400, "application/json",
                  R"({"message":"the request target is malformed"})"},
                 true);
  // Refusals and quick answers come before the body is read (and, when it
  // is not read, the connection ends with the answer).
  if (std::optional<Response> quick = server_.handler.Quick(request_))
    return Write(std::move(*quick), !parser_->is_done());
  passed_on_ = true;
  // Bodies count against the budget as their bytes arrive, not as they
  // are announced: a client that declares large bodies and sends nothing
  // holds a socket, never the room that others' writes need.
  if (!parser_->is_done() &&
      !Reserve(std::max<size_t>(1, parser_->get().body().size())))
    return ReadingTooMuch();
  if (beast::iequals(message[bhttp::field::expect], "100-continue") &&
      !parser_->is_done()) {
    static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    return asio::async_write(stream_, asio::buffer(kContinue),
                             [self = shared_from_this()](ErrorCode ec, size_t) {
                               if (ec) return self->Close();
                               self->ReadBody();
                             });
  }
  ReadBody();
}

void Session::ReadBody() {
  if (parser_->is_done()) return OnRequest({});
  bhttp::async_read_some(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](ErrorCode ec, size_t) {
        if (ec) return self->OnRequest(ec);
        if (!self->Reserve(self->parser_->get().body().size()))
          return self->ReadingTooMuch();
        self->ReadBody();
      });
}

void Session::OnRequest(ErrorCode ec) {
  Unreserve();
  if (ec) return ReadFailed(ec);
  deadline_.cancel();
  request_.body = std::move(parser_->get().body());
  parser_.reset();
  state_ = State::kWorking;
  asio::post(server_.pool, [self = shared_from_this()]() mutable {
    Response response;
    try {
      response = self->server_.handler.Work(self->request_);
    } catch (const std::exception&) {
      response = {500, "application/json",
                  R"({"message":"the request could not be answered"})"};
    }
    Server& server = self->server_;
    asio::post(server.io, [self = std::move(self),
                           response = std::move(response)]() mutable {
      self->Write(std::move(response), false);
    });
  });
}

void Session::ReadFailed(ErrorCode ec) {
  auto refuse = [this](int status, const char* message) {
    Write({status, "application/json",
           std::string(R"({"message":")") + message + "\"}"},
          true);
  };
  deadline_.cancel();
  if (timed_out_) return refuse(408, "the request was not complete in time");
  if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow)
    return refuse(431, "the request line and headers are over the limit");
  if (ec == bhttp::error::body_limit)
    return refuse(413, "the request body is over the size limit");
  if (ec.category() ==
          bhttp::make_error_code(bhttp::error::bad_target).category() &&
      ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message)
    return refuse(400, "the request is malformed");
  Close();  // the client went away, or the service is stopping
}

void Session::Refuse(int status, std::string message) {
  Write({status,
         "application/json",
         R"({"message":")" + message + "\"}",
         {{"Retry-After", "1"}}},
        true);
}

void Session::Write(Response response, bool close) {
  deadline_.cancel();
  passed_on_ = false;
  server_.handler.Finish(request_, response);
  state_ = State::kWriting;
  auto message = std::make_shared<bhttp::response<bhttp::string_body>>();
  message->version(11);
  message->result(static_cast<unsigned>(response.status));
  if (!response.content_type.empty())
    message->set(bhttp::field::content_type, response.content_type);
  for (auto& [name, value] : response.headers) message->insert(name, value);
  message->body() = std::move(response.body);
  bool keep = keep_alive_ && !close && !server_.stopping;
  message->keep_alive(keep);
  message->prepare_payload();
  // An answer to HEAD has no body (its Content-Length still says how long
  // the body would be): bytes after it would be read as the next answer.
  if (request_.method == "HEAD") message->body().clear();
  stream_.expires_after(server_.limits.request_deadline);
  bhttp::async_write(
      stream_, *message,
      [self = shared_from_this(), message, keep](ErrorCode ec, size_t) {
        if (ec) return self->Close();
        if (keep) return self->WaitForRequest();
        self->Linger();
      });
}

void Session::Linger() {
  state_ = State::kClosing;
  ErrorCode ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kLinger);
  buffer_.clear();
  Drain();
}

void Session::Drain() {
  stream_.async_read_some(buffer_.prepare(kReadBytes),
                          [self = shared_from_this()](ErrorCode ec, size_t n) {
                            self->lingered_ += n;
                            if (ec || self->lingered_ > kLingerBytes)
                              return self->Close();
                            self->Drain();
                          });
}

void Session::StopIfIdle() {
  if (state_ == State::kIdle || state_ == State::kReading) stream_.cancel();
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  if (passed_on_) server_.handler.Abandoned(request_);
  passed_on_ = false;
  Unreserve();
  deadline_.cancel();
  ErrorCode ignored;
  stream_.socket().close(ignored);
  server_.Removed(this);
}

void Server::Accept() {
  acceptor.async_accept(io, [this](ErrorCode ec, tcp::socket socket) {
    if (stopping) return;
    if (ec) {
      // Out of descriptors: wait rather than spin; the client waits in the
      // backlog.
      backoff.expires_after(kAcceptBackoff);
      return backoff.async_wait([this](ErrorCode) { Accept(); });
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    tcp::endpoint peer = socket.remote_endpoint(ignored);
    std::string client = peer.address().to_string();
    auto found = per_client.find(client);
    int mine = found == per_client.end() ? 0 : found->second;
    bool over =
        total >= limits.max_connections || mine >= limits.max_per_client;
    if (over && refusing >= kMaxRefusing) {
      socket.close(ignored);  // refusing as fast as they come: no answer
      return Accept();
    }
    auto session =
        std::make_shared<Session>(std::move(socket), *this, std::move(client));
    if (total >= limits.max_connections) {
      ++refusing;
      session->Refuse(503, "the service has too many connections");
    } else if (mine >= limits.max_per_client) {
      ++refusing;
      session->Refuse(503, "too many connections from this address");
    } else {
      ++per_client[session->client()];
      ++total;
      session->counted = true;
      session->Start();
    }
    Accept();
  });
}

void Server::WaitForSignal() {
  signals.async_wait([this](ErrorCode ec, int signal) {
    if (ec) return;
    if (signal == SIGHUP) {
      handler.Reload();
      return WaitForSignal();
    }
    if (stopping) {
      std::cerr << "quillet: stopped at once" << std::endl;
      _exit(128 + signal);
    }
    stopping = true;
    // Requests waiting on the database end now.
    operations::StopWaitingForDatabases();
    ErrorCode ignored;
    acceptor.close(ignored);
    backoff.cancel();
    std::vector<Session*> open(sessions.begin(), sessions.end());
    for (Session* session : open) session->StopIfIdle();
    WaitForSignal();
    if (sessions.empty()) return signals.cancel();
    grace.expires_after(limits.stop_grace);
    grace.async_wait([this](ErrorCode ec) {
      if (ec || sessions.empty()) return;
      std::vector<Session*> left(sessions.begin(), sessions.end());
      if (std::none_of(left.begin(), left.end(),
                       [](Session* s) { return s->Owed(); })) {
        for (Session* session : left) session->Close();  // all answered
        return;
      }
      std::cerr << "quillet: stopped with " << sessions.size()
                << " connection(s) unfinished after the grace; what became "
                   "of their requests is unknown to their clients"
                << std::endl;
      _exit(kExitUnfinished);
    });
  });
}

}  // namespace

int ServeConnections(const std::string& host, int port, int workers,
                     const ConnectionLimits& given, Handler& handler,
                     const std::function<void(int port)>& listening) {
  ConnectionLimits limits = given;
  // A connection is a descriptor: take all the process may have, and keep
  // the cap under it (with room for the database and the log).
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(limits.max_connections) + 64 > files.rlim_cur)
      limits.max_connections =
          std::max(1, static_cast<int>(files.rlim_cur) - 64);
  }
  // The workers are made with the signals blocked, so that only the I/O
  // thread sees them.
  sigset_t signals, previous;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  Server server(limits, handler, workers);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  ErrorCode ec;
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  tcp::resolver resolver(server.io);
  auto endpoints =
      resolver.resolve(name, std::to_string(port), tcp::resolver::passive, ec);
  if (!ec && endpoints.empty()) ec = asio::error::host_not_found;
  if (!ec) {
    tcp::endpoint endpoint = *endpoints.begin();
    server.acceptor.open(endpoint.protocol(), ec);
    if (!ec) server.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) server.acceptor.bind(endpoint, ec);
    if (!ec) server.acceptor.listen(limits.backlog, ec);
  }
  if (ec) {
    server.pool.join();
    return 2;
  }
  listening(server.acceptor.local_endpoint().port());
  server.WaitForSignal();
  server.Accept();
  server.io.run();
  server.pool.join();
  return 0;
}

}  // namespace quillet::cli::http
