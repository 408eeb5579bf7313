// A connection's reading and writing: the header and its checks, the body,
// the hand-over to a worker, the answer, lingering and closing.
#include "http/session.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "http/listener.h"

namespace quillet::cli::http {
namespace {

// After an answer that closes the connection, what the client still sends
// is read and dropped until it closes, so that it gets the answer rather
// than a reset: a body it was refused may be large, so no byte count ends
// this, only a pause of kLingerPause or, in all, kLingerMost (kLingerPause
// once the service is stopping).
constexpr std::chrono::seconds kLingerPause{2};
constexpr std::chrono::seconds kLingerMost{30};
// Headers a request may carry once only.
constexpr const char* kSingular[] = {
    "Host",          "Content-Type",    "Authorization", "Idempotency-Key",
    "If-Match",      "Quillet-Dry-Run", "Quillet-Trace", "Origin",
    "Sec-Fetch-Site"};

}  // namespace

Session::Session(tcp::socket socket, Server& server, std::string client,
                 std::string network)
    : stream_(std::move(socket)),
      deadline_(stream_.get_executor()),
      pace_(stream_.get_executor()),
      server_(server),
      network_(std::move(network)),
      poll_(stream_.get_executor()) {
  request_.client = std::move(client);
  request_.start = std::chrono::steady_clock::now();
  server_.Added(this);
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
  // The limit is held once the whole header is read (OnHeader): a refusal
  // then knows the request's method, path and token. (Not boost::none:
  // Beast's header check takes any length as over it.)
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  request_.start = std::chrono::steady_clock::now();
  stream_.expires_never();
  timed_out_ = false;
  too_slow_ = false;
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
  // As sent, for the log and the audit of a refusal before it is parsed.
  request_.path = LoggedPath(target);
  for (const auto& field : message)
    request_.headers.emplace_back(std::string(field.name_string()),
                                  std::string(field.value()));
  keep_alive_ = message.keep_alive();
  if (parser_->content_length() &&
      *parser_->content_length() > server_.limits.body_bytes) {
    return ReadFailed(bhttp::error::body_limit);
  }
  parser_->body_limit(server_.limits.body_bytes);
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
  if (!ParseTarget(target, request_)) {
    request_.path = LoggedPath(target);
    return Write({400, "application/json",
                  R"({"message":"the request target is malformed"})"},
                 true);
  }
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
  if (!parser_->is_done()) WatchPace();
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
      [self = shared_from_this()](ErrorCode ec, size_t n) {
        self->paced_bytes_ += n;
        if (ec) return self->OnRequest(ec);
        if (!self->Reserve(self->parser_->get().body().size()))
          return self->ReadingTooMuch();
        self->ReadBody();
      });
}

void Session::WatchPace() {
  paced_bytes_ = 0;
  pace_.expires_after(server_.limits.body_rate_window);
  pace_.async_wait([self = shared_from_this()](ErrorCode ec) {
    if (ec || self->state_ != State::kReading) return;
    auto window =
        static_cast<size_t>(self->server_.limits.body_rate_window.count());
    size_t quota = self->server_.limits.min_body_rate * window;
    // A body holding less than a window's worth of the budget costs it
    // next to nothing: a pause in it (a client writing its body late) is
    // left to the request's deadline.
    if (self->paced_bytes_ >= quota || self->reserved_ < quota)
      return self->WatchPace();
    self->too_slow_ = true;
    ErrorCode ignored;
    self->stream_.socket().cancel(ignored);
  });
}

void Session::OnRequest(ErrorCode ec) {
  Unreserve();
  pace_.cancel();
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
  pace_.cancel();
  // What was read of the request line, for the access log: as parsed, or
  // from the bytes of a header too long or too slow to be parsed.
  if (request_.method.empty() && parser_) {
    const auto& message = parser_->get();
    if (!message.method_string().empty()) {
      request_.method = std::string(message.method_string());
      std::string_view target(message.target().data(), message.target().size());
      request_.path = LoggedPath(target);
    } else {
      ReadRequestLine(
          std::string_view(static_cast<const char*>(buffer_.data().data()),
                           buffer_.size()),
          request_);
    }
  }
  if (too_slow_) return refuse(408, "the request body arrived too slowly");
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
  pace_.cancel();
  passed_on_ = false;
  server_.handler.Finish(request_, response);
  if (response.stream && response.status == 200 && request_.method != "HEAD")
    return StartStream(std::move(response));
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
  linger_start_ = std::chrono::steady_clock::now();
  buffer_.clear();
  Drain();
}

void Session::Drain() {
  auto spent = std::chrono::steady_clock::now() - linger_start_;
  auto most = server_.stopping ? kLingerPause : kLingerMost;
  if (spent >= most) return Close();
  stream_.expires_after(std::min<std::chrono::steady_clock::duration>(
      kLingerPause, most - spent));
  stream_.async_read_some(buffer_.prepare(kBufferBytes),
                          [self = shared_from_this()](ErrorCode ec, size_t) {
                            if (ec) return self->Close();
                            self->Drain();
                          });
}

void Session::StopIfIdle() {
  if (state_ == State::kIdle || state_ == State::kReading) stream_.cancel();
  if (state_ == State::kStreaming) poll_.cancel();  // ends it at once
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  if (passed_on_) server_.handler.Abandoned(request_);
  passed_on_ = false;
  Unreserve();
  deadline_.cancel();
  pace_.cancel();
  poll_.cancel();
  ErrorCode ignored;
  stream_.socket().close(ignored);
  server_.Removed(this);
}

}  // namespace quillet::cli::http
