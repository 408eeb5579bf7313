// A connection's share of the budget for bodies being read: in all and a
// quarter of it per client network, with a quarter kept for networks that
// hold none, and 503 past it.
#include "http/listener.h"
#include "http/session.h"

namespace quillet::cli::http {

std::string ClientNetwork(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  // One host may hold a whole /64: it is one client.
  asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
  for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

void Session::Unreserve() {
  if (reserved_ == 0) return;
  server_.body_bytes -= reserved_;
  auto mine = server_.network_body_bytes.find(network_);
  if ((mine->second -= reserved_) == 0) server_.network_body_bytes.erase(mine);
  reserved_ = 0;
}

bool Session::Reserve(size_t bytes) {
  if (bytes <= reserved_) return true;
  size_t more = bytes - reserved_;
  size_t& mine = server_.network_body_bytes[network_];
  if (reserved_ == 0) newcomer_ = mine == 0;
  const size_t budget = server_.limits.body_budget;
  const size_t room = newcomer_ ? budget : budget - budget / 4;
  if (server_.body_bytes + more > room || mine + more > budget / 4) {
    if (mine == 0) server_.network_body_bytes.erase(network_);
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
