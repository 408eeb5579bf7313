#include "listen_address.h"

#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using operations::UsageError;

ListenAddress ParseListen(const std::string& listen) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 ||
      listen.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
      colon + 1 == listen.size() || listen.size() - colon > 6)
    throw UsageError("--listen takes HOST:PORT, not '" + listen + "'");
  ListenAddress address{listen.substr(0, colon),
                        std::stoi(listen.substr(colon + 1))};
  if (address.port > 65535)
    throw UsageError("--listen: no port " + listen.substr(colon + 1));
  return address;
}

}  // namespace quillet::cli
