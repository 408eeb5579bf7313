// Commands for the shell, for test support that runs programs.
#pragma once

#include <string>

namespace quillet::testing {

// `s` as one word for the shell, whatever it holds.
inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace quillet::testing
