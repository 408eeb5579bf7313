#include "server_status.h"

#include "context_parts.h"
#include "quillet/operations/backend_commands.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/standins/store_pool.h"

namespace quillet::operations {
namespace {

using standins::ServerState;
using standins::StandbyState;

std::string Lag(const StandbyState& standby) {
  std::string lag;
  if (standby.replay_lag_ms)
    lag = std::to_string(*standby.replay_lag_ms) + " ms";
  if (standby.replay_lag_bytes)
    lag += (lag.empty() ? "" : ", ") +
           std::to_string(*standby.replay_lag_bytes) + " bytes";
  return lag.empty() ? "-" : lag;
}

std::string Shown(const std::string& value) {
  return value.empty() ? "-" : Printable(value);
}

}  // namespace

nlohmann::ordered_json ServerJson(const ServerState& state) {
  nlohmann::ordered_json standbys = nlohmann::ordered_json::array();
  for (const StandbyState& s : state.standbys) {
    nlohmann::ordered_json one = {{"name", s.name},
                                  {"state", s.state},
                                  {"sync_state", s.sync_state},
                                  {"replay_lag_ms", nullptr},
                                  {"replay_lag_bytes", nullptr}};
    if (s.replay_lag_ms) one["replay_lag_ms"] = *s.replay_lag_ms;
    if (s.replay_lag_bytes) one["replay_lag_bytes"] = *s.replay_lag_bytes;
    standbys.push_back(one);
  }
  standins::ServerRisks risks = standins::AssessServer(state);
  nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
  for (const std::string* w :
       {&risks.commits_wait, &risks.answered_calls_can_be_lost})
    if (!w->empty()) warnings.push_back(*w);
  return {{"version", state.version},
          {"in_recovery", state.in_recovery},
          {"synchronous_commit", state.synchronous_commit},
          {"synchronous_standby_names", state.synchronous_standby_names},
          {"standbys", standbys},
          {"warnings", warnings}};
}

void PrintServer(std::ostream& out, const ServerState& state) {
  out << "server version  " << Shown(state.version) << "\n"
      << "in recovery     "
      << (state.in_recovery ? "yes (a standby: it takes no write)" : "no")
      << "\n"
      << "sync commit     " << Shown(state.synchronous_commit) << "\n"
      << "sync standbys   " << Shown(state.synchronous_standby_names) << "\n";
  for (const StandbyState& s : state.standbys)
    out << "standby         " << Shown(s.name) << ": " << Shown(s.state) << ", "
        << Shown(s.sync_state) << ", replay lag " << Lag(s) << "\n";
  if (state.standbys.empty()) out << "standby         none connected\n";
  standins::ServerRisks risks = standins::AssessServer(state);
  for (const std::string* w :
       {&risks.commits_wait, &risks.answered_calls_can_be_lost})
    if (!w->empty()) out << "warning         " << Printable(*w) << "\n";
}

std::string CommitWaitWarning(const BackendSetup& backend) {
  standins::BorrowedStore store(BackendOf(backend), backend.db,
                                standins::BackendStore::Open::kForReading);
  std::optional<ServerState> state = store->Server();
  return state ? standins::AssessServer(*state).commits_wait : "";
}

}  // namespace quillet::operations
