// What `serve --listen` takes: HOST:PORT (port 0: any free port).
#pragma once

#include <string>

namespace quillet::cli {

struct ListenAddress {
  std::string host;  // as given: a name, an IPv4 address or [IPv6]
  int port = 0;
};

// Raises UsageError for anything but HOST:PORT with a port up to 65535.
ListenAddress ParseListen(const std::string& listen);

}  // namespace quillet::cli
