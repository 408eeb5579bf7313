// An answer sent piece by piece (Response::stream): the header, chunked,
// then each piece the stream gives, asked for on a worker (it may read the
// database), until the client goes, the stream is over or the service
// stops. A heartbeat comment keeps proxies from closing an idle stream.
#include <algorithm>
#include <chrono>

#include "http/listener.h"
#include "http/session.h"

namespace quillet::cli::http {
namespace {

// Asked again this soon after nothing was new, backing off to the most.
constexpr std::chrono::milliseconds kFirstWait{200};
constexpr std::chrono::milliseconds kMostWait{500};
constexpr std::chrono::seconds kHeartbeat{15};
constexpr const char* kKeepAlive = ": keep-alive\n\n";

}  // namespace

void Session::StartStream(Response response) {
  state_ = State::kStreaming;
  stream_body_ = std::move(response.stream);
  auto message = std::make_shared<bhttp::response<bhttp::empty_body>>();
  message->version(11);
  message->result(bhttp::status::ok);
  message->set(bhttp::field::content_type, response.content_type);
  for (auto& [name, value] : response.headers) message->insert(name, value);
  message->keep_alive(false);  // the stream ends with the connection
  message->chunked(true);
  auto serializer =
      std::make_shared<bhttp::response_serializer<bhttp::empty_body>>(*message);
  stream_.expires_after(server_.limits.request_deadline);
  bhttp::async_write_header(
      stream_, *serializer,
      [self = shared_from_this(), message, serializer](ErrorCode ec, size_t) {
        if (ec) return self->Close();
        self->stream_.expires_never();
        self->last_sent_ = std::chrono::steady_clock::now();
        self->idle_wait_ = kFirstWait;
        self->WatchClient();
        self->Poll();
      });
}

// The client sends nothing more on a stream: a read that ends is the
// client gone, and frees the stream at once rather than at the next write.
void Session::WatchClient() {
  buffer_.clear();
  stream_.socket().async_read_some(
      buffer_.prepare(kReadBytes),
      [self = shared_from_this()](ErrorCode ec, size_t) {
        if (ec) return self->Close();
        self->WatchClient();
      });
}

void Session::Poll() {
  if (closed_) return;
  if (server_.stopping) return EndStream();
  asio::post(server_.pool, [self = shared_from_this()]() mutable {
    Stream::Piece piece;
    try {
      piece = self->stream_body_->Next();
    } catch (const std::exception&) {
      piece.over = true;
    }
    Server& server = self->server_;
    asio::post(server.io,
               [self = std::move(self), piece = std::move(piece)]() mutable {
                 self->OnPiece(std::move(piece));
               });
  });
}

void Session::OnPiece(Stream::Piece piece) {
  if (closed_) return;
  if (server_.stopping || (piece.over && piece.text.empty()))
    return EndStream();
  if (piece.text.empty()) {
    idle_wait_ = std::min(kMostWait, idle_wait_ * 2);
    return WaitForPiece();
  }
  idle_wait_ = kFirstWait;
  WriteChunk(std::move(piece.text), piece.over   ? &Session::EndStream
                                    : piece.more ? &Session::Poll
                                                 : &Session::WaitForPiece);
}

void Session::WaitForPiece() {
  if (closed_) return;
  if (server_.stopping) return EndStream();
  if (std::chrono::steady_clock::now() - last_sent_ >= kHeartbeat)
    return WriteChunk(kKeepAlive, &Session::WaitForPiece);
  poll_.expires_after(idle_wait_);
  // Cancelled when the service stops: Poll then ends the stream.
  poll_.async_wait([self = shared_from_this()](ErrorCode) { self->Poll(); });
}

void Session::WriteChunk(std::string text, void (Session::*then)()) {
  auto held = std::make_shared<std::string>(std::move(text));
  // A client that stops reading holds the stream no longer than a write's
  // deadline.
  stream_.expires_after(server_.limits.request_deadline);
  asio::async_write(
      stream_, bhttp::make_chunk(asio::buffer(*held)),
      [self = shared_from_this(), held, then](ErrorCode ec, size_t) {
        if (ec) return self->Close();
        self->stream_.expires_never();
        self->last_sent_ = std::chrono::steady_clock::now();
        ((*self).*then)();
      });
}

void Session::EndStream() {
  if (ending_ || closed_) return;
  ending_ = true;
  stream_.expires_after(server_.limits.request_deadline);
  asio::async_write(stream_, bhttp::make_chunk_last(),
                    [self = shared_from_this()](ErrorCode, size_t) {
                      ErrorCode ignored;
                      self->stream_.socket().shutdown(
                          tcp::socket::shutdown_send, ignored);
                      self->Close();
                    });
}

}  // namespace quillet::cli::http
