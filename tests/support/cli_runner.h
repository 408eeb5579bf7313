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

CliResult RunQuillet(const TempDir& dir, const std::vector<std::string>& args,
                     const std::string& input = "");

}  // namespace quillet::testing
