// The web console's files (tools/quillet/http/console), built into the
// binary: an installed quillet serves them with no data folder.
#pragma once

#include <span>
#include <string_view>

namespace quillet::cli::http {

struct ConsoleFile {
  const char* path;  // "/index.html", "/console.js", ...
  const char* content_type;
  std::string_view body;
};

std::span<const ConsoleFile> ConsoleFiles();

}  // namespace quillet::cli::http
