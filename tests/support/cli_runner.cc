#include "support/cli_runner.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/shell.h"

namespace quillet::testing {

CliResult RunQuillet(const TempDir& dir, const std::vector<std::string>& args,
                     const std::string& input, const std::string& stdout_path) {
  std::string in_path = dir.Path("stdin.txt");
  std::ofstream(in_path, std::ios::binary) << input;
  std::string command =
      "cd " + ShellQuote(dir.Path("")) + " && " + QUILLET_CLI_PATH;
  for (const std::string& a : args) command += " " + ShellQuote(a);
  command +=
      " <" + ShellQuote(in_path) + " 2>" + ShellQuote(dir.Path("stderr.txt"));
  if (!stdout_path.empty()) command += " >" + ShellQuote(stdout_path);
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  std::ifstream err_file(dir.Path("stderr.txt"));
  std::string err((std::istreambuf_iterator<char>(err_file)), {});
  return {WEXITSTATUS(status), out, err};
}

void CliFolder::Write(const std::string& name, const std::string& text) const {
  std::ofstream(dir.Path(name), std::ios::binary) << text;
}

std::string CliFolder::Read(const std::string& name) const {
  std::ifstream in(dir.Path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool CliFolder::Exists(const std::string& name) const {
  return std::filesystem::exists(dir.Path(name));
}

void CliFolder::Sql(const std::string& db, const std::string& sql) const {
  sqlite3* handle = nullptr;
  char* error = nullptr;
  int code = sqlite3_open(dir.Path(db).c_str(), &handle);
  if (code == SQLITE_OK)
    code = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(code, SQLITE_OK) << db << ": " << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(handle);
}

}  // namespace quillet::testing
