#include "http/webhook_post.h"

#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <functional>
#include <optional>

namespace quillet::cli::http {
namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using beast::error_code;

// An answer's body is read and dropped: at most this much is taken.
constexpr size_t kMostAnswerBytes = 64 * 1024;

// One exchange on `stream` (connected), its outcome set in `out` when
// it ends. `handshake` runs first (TLS), or nothing.
template <typename Stream>
void Exchange(Stream& stream, bhttp::request<bhttp::string_body>& request,
              std::function<void(std::function<void(error_code)>)> handshake,
              PostOutcome& out, bool& done) {
  auto buffer = std::make_shared<beast::flat_buffer>();
  auto parser = std::make_shared<bhttp::response_parser<bhttp::string_body>>();
  parser->body_limit(kMostAnswerBytes);
  auto fail = [&out, &done](const char* what, error_code ec) {
    out.failure = std::string(what) + ": " + ec.message();
    done = true;
  };
  handshake([&, buffer, parser, fail](error_code ec) {
    if (ec) return fail("TLS handshake failed", ec);
    bhttp::async_write(
        stream, request, [&, buffer, parser, fail](error_code ec, size_t) {
          if (ec) return fail("cannot send", ec);
          bhttp::async_read(stream, *buffer, *parser,
                            [&, buffer, parser, fail](error_code ec, size_t) {
                              if (ec && ec != bhttp::error::body_limit)
                                return fail("no answer", ec);
                              unsigned status = parser->get().result_int();
                              out.delivered = status >= 200 && status < 300;
                              if (!out.delivered)
                                out.failure = "HTTP " + std::to_string(status);
                              done = true;
                            });
        });
  });
}

}  // namespace

struct WebhookPoster::Tls {
  ssl::context context{ssl::context::tls_client};
};

WebhookPoster::WebhookPoster(operations::WebhookUrl url)
    : url_(std::move(url)) {
  if (!url_.https) return;
  tls_ = std::make_unique<Tls>();
  tls_->context.set_default_verify_paths();
  tls_->context.set_verify_mode(ssl::verify_peer);
}

WebhookPoster::~WebhookPoster() = default;

void WebhookPoster::Stop() {
  MutexLock lock(mutex_);
  stopping_ = true;
  if (running_) running_->stop();
}

PostOutcome WebhookPoster::Post(
    const std::string& body,
    const std::vector<std::pair<std::string, std::string>>& headers,
    std::chrono::milliseconds deadline) {
  net::io_context ioc;
  {
    MutexLock lock(mutex_);
    if (stopping_) return {false, "stopped"};
    running_ = &ioc;
  }
  bhttp::request<bhttp::string_body> request{bhttp::verb::post, url_.target,
                                             11};
  std::string host = url_.host;
  bool default_port = url_.port == (url_.https ? "443" : "80");
  request.set(bhttp::field::host, default_port ? host : host + ":" + url_.port);
  request.set(bhttp::field::user_agent, "quillet-webhooks");
  request.set(bhttp::field::content_type, "application/json");
  request.set(bhttp::field::connection, "close");
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  request.prepare_payload();

  PostOutcome out;
  bool done = false;
  std::string bare_host = host;
  if (bare_host.size() > 2 && bare_host.front() == '[')
    bare_host = bare_host.substr(1, bare_host.size() - 2);
  beast::tcp_stream plain(ioc);
  std::optional<beast::ssl_stream<beast::tcp_stream>> secure;
  if (tls_) {
    secure.emplace(ioc, tls_->context);
    // The name the server's certificate must carry, and asks it for.
    SSL_set_tlsext_host_name(secure->native_handle(), bare_host.c_str());
    secure->set_verify_callback(ssl::host_name_verification(bare_host));
  }
  tcp::resolver resolver(ioc);
  resolver.async_resolve(
      bare_host, url_.port,
      [&](error_code ec, const tcp::resolver::results_type& found) {
        if (ec) {
          out.failure = "cannot resolve the host: " + ec.message();
          done = true;
          return;
        }
        beast::tcp_stream& lowest =
            secure ? beast::get_lowest_layer(*secure) : plain;
        lowest.async_connect(found, [&](error_code ec, const tcp::endpoint&) {
          if (ec) {
            out.failure = "cannot connect: " + ec.message();
            done = true;
            return;
          }
          if (secure)
            Exchange(
                *secure, request,
                [&](std::function<void(error_code)> next) {
                  secure->async_handshake(ssl::stream_base::client, next);
                },
                out, done);
          else
            Exchange(
                plain, request,
                [](std::function<void(error_code)> next) { next({}); }, out,
                done);
        });
      });
  ioc.run_for(deadline);
  {
    MutexLock lock(mutex_);
    running_ = nullptr;
    if (!done)
      out = {false, stopping_
                        ? "stopped"
                        : "no answer within " +
                              std::to_string(deadline.count() / 1000) + " s"};
  }
  // What is still pending ends with its connection; its handlers are
  // dropped with the context.
  error_code ignored;
  resolver.cancel();
  beast::get_lowest_layer(plain).socket().close(ignored);
  if (secure) beast::get_lowest_layer(*secure).socket().close(ignored);
  return out;
}

}  // namespace quillet::cli::http
