// A connection's share of the budget for bodies being read: in all and a
// quarter of it per client address, with 503 past it.
#include "http/listener.h"
#include "http/session.h"

namespace quillet::cli::http {

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

}  // namespace quillet::cli::http
