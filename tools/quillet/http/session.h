// One connection (the connection layer's inside, behind http/connection.h):
// it reads a request's header and body on the I/O thread against the
// limits, passes the whole request to a worker, writes the answer, and
// lingers after an answer that closes it. session.cc holds its reading and
// writing, session_budget.cc its share of the budget for bodies being read,
// session_stream.cc the answers sent piece by piece (Response::stream).
#pragma once

// Boost.Asio uses std::exchange without including <utility>.
// clang-format off
#include <utility>
// clang-format on
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "http/connection.h"

namespace quillet::cli::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

// At most this much is read ahead of the parser on a connection: a header
// flood costs each connection no more.
inline constexpr size_t kBufferBytes = 64 * 1024;
inline constexpr size_t kReadBytes = 16 * 1024;

class Server;

// The client's network, the body budget's key: an IPv4 address (an IPv6
// address that maps one too), or an IPv6 address's /64.
std::string ClientNetwork(const asio::ip::address& address);

class Session : public std::enable_shared_from_this<Session> {
 public:
  // `network` is the client's network for the body budget (ClientNetwork).
  Session(tcp::socket socket, Server& server, std::string client,
          std::string network);
  void Start() { WaitForRequest(); }
  // Answers `status` at once and closes: the connection is over a cap.
  void Refuse(int status, std::string message);
  // Ends the connection unless a request is being answered.
  void StopIfIdle();
  // Whether an answer is owed on it (being read, worked on or written), as
  // opposed to idle or closing.
  // (A stream being sent is not owed: it ends at once when the service
  // stops.)
  bool Owed() const {
    return passed_on_ || state_ == State::kWorking || state_ == State::kWriting;
  }
  void Close();
  bool counted = false;  // in the server's connection counts
  const std::string& client() const { return request_.client; }

 private:
  enum class State {
    kIdle,
    kReading,
    kWorking,
    kWriting,
    kStreaming,
    kClosing
  };
  void WaitForRequest();
  void ReadHeader();
  void OnHeader(ErrorCode ec);
  void ReadBody();
  void OnRequest(ErrorCode ec);
  void ReadFailed(ErrorCode ec);
  void Write(Response response, bool close);
  // A stream: the header (chunked, closing the connection at its end), then
  // each piece as a chunk, polled on a worker, with a heartbeat when idle.
  void StartStream(Response response);
  void WatchClient();
  void Poll();
  void OnPiece(Stream::Piece piece);
  void WaitForPiece();
  void WriteChunk(std::string text, void (Session::*then)());
  void EndStream();
  // Keeps a body to its minimum receive rate, one window at a time.
  void WatchPace();
  void Linger();
  void Drain();
  void Unreserve();
  // Grows this request's share of the body budget to `bytes`; false (and
  // nothing taken) when the budget, or its client network's quarter, has no
  // room. A body whose network held none when it began may use the share
  // kept for such clients; others may not.
  bool Reserve(size_t bytes);
  void ReadingTooMuch();

  beast::tcp_stream stream_;
  // The whole request's deadline. The stream's own expiry closes the
  // socket, which would leave no way to answer 408.
  asio::steady_timer deadline_;
  bool timed_out_ = false;
  // A body's receive rate, checked once a window; a body under it is cut.
  asio::steady_timer pace_;
  size_t paced_bytes_ = 0;  // arrived in this window
  bool too_slow_ = false;
  Server& server_;
  beast::flat_buffer buffer_{kBufferBytes};
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  Request request_;
  bool keep_alive_ = false;
  State state_ = State::kIdle;
  std::chrono::steady_clock::time_point linger_start_;
  std::string network_;     // the body budget's key
  size_t reserved_ = 0;     // of the server's body budget
  bool newcomer_ = false;   // its network held none when this body began
  bool passed_on_ = false;  // Quick passed it on: an answer is owed
  bool closed_ = false;
  std::shared_ptr<Stream> stream_body_;
  asio::steady_timer poll_;
  std::chrono::milliseconds idle_wait_{0};
  std::chrono::steady_clock::time_point last_sent_;
  bool ending_ = false;
};

}  // namespace quillet::cli::http
