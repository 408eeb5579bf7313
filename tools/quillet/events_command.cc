#include "events_command.h"

#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <thread>

#include "exit_status.h"
#include "quillet/operations/events.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using json = nlohmann::ordered_json;
using operations::Printable;
using operations::UsageError;

namespace {

// While following: asked again this soon after nothing was new, backing
// off to the most.
constexpr std::chrono::milliseconds kFirstWait{200};
constexpr std::chrono::milliseconds kMostWait{500};
constexpr std::chrono::milliseconds kStopCheck{50};

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

// SIGINT and SIGTERM end a follow between two reads, for the life of the
// object.
class StopOnSignals {
 public:
  StopOnSignals() {
    stop_requested = 0;
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &int_);
    sigaction(SIGTERM, &action, &term_);
  }
  ~StopOnSignals() {
    sigaction(SIGINT, &int_, nullptr);
    sigaction(SIGTERM, &term_, nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction int_ {
  }, term_{};
};

std::string Text(const json& e, const char* name) {
  auto it = e.find(name);
  return it != e.end() && it->is_string() ? Printable(it->get<std::string>())
                                          : "";
}

// "12  2026-12-08T07:45:05Z  alice (command)  update-call SC000001  changed"
std::string Readable(const json& e) {
  std::string actor = Text(e, "actor");
  std::string subject = e.contains("call") ? Text(e, "call") : Text(e, "item");
  return std::to_string(e["position"].get<int64_t>()) + "  " + Text(e, "at") +
         "  " + (actor.empty() ? "-" : actor) + " (" + Text(e, "channel") +
         ")  " + Text(e, "operation") + " " + subject + "  " +
         Text(e, "outcome") + "\n";
}

}  // namespace

void AddEventsOptions(CLI::App& command, EventsOptions& o) {
  command
      .add_option("--after", o.after,
                  "only events after this position (default 0: all kept)")
      ->type_name("POS")
      ->check(CLI::Range(int64_t{0}, int64_t{999'999'999'999}));
  command.add_flag("--follow", o.follow,
                   "wait for new events until interrupted (Ctrl-C)");
  command.add_flag("--json", o.json, "one JSON object per line, for scripts");
  command.add_option("--call", o.call, "only the events of this call");
  command.add_option("--item", o.item, "only the events of this item");
  command.add_option("--operation", o.operation, "only events of this kind")
      ->check(CLI::IsMember(
          {"create-call", "update-call", "create-item", "update-item"}));
}

int RunEvents(const Globals& g, const EventsOptions& o) {
  operations::EventQuery query;
  query.after = o.after;
  query.limit = operations::kMostEventsPerPage;
  query.call = o.call;
  query.item = o.item;
  query.operation = o.operation;
  std::optional<StopOnSignals> signals;
  if (o.follow) signals.emplace();
  auto wait = kFirstWait;
  for (;;) {
    errno = 0;
    operations::EventPage page = operations::ReadEvents(g, query);
    if (page.gone)
      throw UsageError("the events after position " +
                       std::to_string(query.after) +
                       " were pruned; read again from 0, the oldest kept");
    for (const json& e : page.events)
      std::cout << (o.json ? operations::DumpJson(e, -1) + "\n" : Readable(e));
    std::cout.flush();
    if (!Flushed(std::cout)) return OutputLost("the output", "");
    query.after = page.next;
    if (static_cast<int64_t>(page.events.size()) == query.limit &&
        !stop_requested)
      continue;  // more is ready now
    if (!o.follow) return kExitDone;
    wait = page.events.empty() ? std::min(kMostWait, wait * 2) : kFirstWait;
    for (auto waited = std::chrono::milliseconds(0);
         waited < wait && !stop_requested; waited += kStopCheck)
      std::this_thread::sleep_for(kStopCheck);
    if (stop_requested) return kExitDone;
  }
}

}  // namespace quillet::cli
