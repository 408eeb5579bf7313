#include "command_suggestions.h"

#include <algorithm>
#include <vector>

namespace quillet::cli {
namespace {

const std::vector<std::string>& CommandNames() {
  static const std::vector<std::string> names = {
      "create-call", "update-call", "time-format", "create-item", "update-item",
      "calls",       "items",       "log",         "events",      "backend",
      "batch",       "serve",       "token"};
  return names;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string> UnknownCommand(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--db" || arg == "--log" || arg == "--keep-keys" ||
        arg == "--keep-events" || arg == "--actor") {
      ++i;  // the option's value
      continue;
    }
    if (arg.rfind("-", 0) == 0) continue;
    const auto& names = CommandNames();
    if (std::find(names.begin(), names.end(), arg) != names.end())
      return std::nullopt;
    std::string message = "unknown command '" + arg + "'";
    std::string best;
    size_t best_distance = 3;
    for (const std::string& name : names) {
      size_t d = EditDistance(arg, name);
      if (d < best_distance) {
        best = name;
        best_distance = d;
      }
    }
    if (!best.empty()) message += "; did you mean '" + best + "'?";
    return message + " (quillet --help lists the commands)";
  }
  return std::nullopt;
}

}  // namespace quillet::cli
