// Runs the built `quillet` executable in a scratch folder and captures its
// exit status, standard output and standard error.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace quillet::testing {

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

// Standard output goes to `stdout_path` instead when one is given.
CliResult RunQuillet(const TempDir& dir, const std::vector<std::string>& args,
                     const std::string& input = "",
                     const std::string& stdout_path = "");

}  // namespace quillet::testing
