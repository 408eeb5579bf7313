#include "support/cli_runner.h"

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

}  // namespace quillet::testing
