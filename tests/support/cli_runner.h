// Runs the built `quillet` executable in a scratch folder and captures its
// exit status, standard output and standard error; CliFolder is such a
// folder with its files at hand, for the command's tests.
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

// A scratch folder to run `quillet` in. Files are read and written as bytes.
struct CliFolder {
  TempDir dir;

  CliResult Quillet(const std::vector<std::string>& args,
                    const std::string& stdout_path = "") const {
    return RunQuillet(dir, args, "", stdout_path);
  }
  void Write(const std::string& name, const std::string& text) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // Runs SQL on the SQLite file `db` of the folder; a failure fails the test.
  void Sql(const std::string& db, const std::string& sql) const;
};

}  // namespace quillet::testing
