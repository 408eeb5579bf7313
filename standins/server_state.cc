#include "quillet/standins/server_state.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace quillet::standins {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower((unsigned char)c));
  return s;
}

// synchronous_standby_names as its tokens: names (a quoted one unquoted,
// its case kept), numbers, and the marks "(", ")" and ",".
struct Token {
  std::string text;
  bool quoted = false;
};
std::vector<Token> Tokens(const std::string& s) {
  std::vector<Token> out;
  for (size_t i = 0; i < s.size();) {
    char c = s[i];
    if (std::isspace((unsigned char)c)) {
      ++i;
    } else if (c == '(' || c == ')' || c == ',') {
      out.push_back({std::string(1, c)});
      ++i;
    } else if (c == '"') {
      Token t{"", true};
      for (++i; i < s.size(); ++i) {
        if (s[i] == '"' && i + 1 < s.size() && s[i + 1] == '"')
          t.text += s[++i];
        else if (s[i] == '"')
          break;
        else
          t.text += s[i];
      }
      ++i;
      out.push_back(t);
    } else {
      Token t;
      while (i < s.size() && !std::isspace((unsigned char)s[i]) &&
             s[i] != '(' && s[i] != ')' && s[i] != ',' && s[i] != '"')
        t.text += s[i++];
      out.push_back(t);
    }
  }
  return out;
}

// A count as the setting gives it; strtol saturates where atoi would not.
int Count(const Token& t) {
  return static_cast<int>(
      std::min(std::strtol(t.text.c_str(), nullptr, 10), 1000L));
}

bool IsNumber(const Token& t) {
  return !t.quoted && !t.text.empty() &&
         std::all_of(t.text.begin(), t.text.end(),
                     [](char c) { return std::isdigit((unsigned char)c); });
}

// How many of which standbys a COMMIT waits for: "a, b" (the first of
// them), "[FIRST] n (a, b)" or "ANY n (a, b)"; "*" names any standby.
struct SyncRule {
  int needed = 0;
  std::vector<std::string> names;  // lower case, as the server matches
};
SyncRule RuleOf(const std::string& setting) {
  std::vector<Token> t = Tokens(setting);
  SyncRule rule;
  if (t.empty()) return rule;
  size_t at = 0;
  bool keyword = !t[0].quoted &&
                 (Lower(t[0].text) == "any" || Lower(t[0].text) == "first");
  if (keyword && t.size() > 2 && IsNumber(t[1]) && t[2].text == "(" &&
      !t[2].quoted) {
    rule.needed = Count(t[1]);
    at = 3;
  } else if (t.size() > 1 && IsNumber(t[0]) && t[1].text == "(" &&
             !t[1].quoted) {
    rule.needed = Count(t[0]);
    at = 2;
  } else {
    rule.needed = 1;
  }
  for (; at < t.size(); ++at) {
    if (!t[at].quoted &&
        (t[at].text == "," || t[at].text == "(" || t[at].text == ")"))
      continue;
    rule.names.push_back(Lower(t[at].text));
  }
  return rule;
}

bool Named(const SyncRule& rule, const std::string& name) {
  return std::any_of(
      rule.names.begin(), rule.names.end(),
      [&](const std::string& n) { return n == "*" || n == Lower(name); });
}

std::string Plural(int n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

ServerRisks AssessServer(const ServerState& state) {
  ServerRisks risks;
  if (state.in_recovery) return risks;  // it commits nothing
  const std::string& commit = state.synchronous_commit;
  bool commits_wait =
      commit == "on" || commit == "remote_write" || commit == "remote_apply";
  SyncRule rule = RuleOf(state.synchronous_standby_names);
  if (!commits_wait) rule.needed = 0;
  int connected = 0, unseen = 0;
  std::vector<std::string> unsafe;
  for (const StandbyState& standby : state.standbys) {
    if (standby.sync_state.empty()) {
      ++unseen;
      continue;
    }
    if (standby.state == "streaming" && Named(rule, standby.name)) ++connected;
    if (rule.needed == 0 || standby.sync_state == "async" ||
        standby.sync_state == "potential")
      unsafe.push_back("'" + standby.name + "'");
  }
  if (connected + unseen < rule.needed)
    risks.commits_wait =
        "every commit waits for " + Plural(rule.needed, "synchronous standby") +
        " named in synchronous_standby_names, and " +
        std::to_string(connected) + " of them " +
        (connected == 1 ? "is" : "are") +
        " connected: writes stall until one connects, or until that "
        "setting is changed";
  if (!unsafe.empty()) {
    std::string names;
    for (const std::string& n : unsafe)
      names += (names.empty() ? "" : ", ") + n;
    risks.answered_calls_can_be_lost =
        "standby " + names + (unsafe.size() == 1 ? " is" : " are") +
        " not waited for: if promoted at failover, calls answered before "
        "it replayed them are lost, and their numbers are given again to "
        "other calls";
  }
  return risks;
}

}  // namespace quillet::standins
