// A scripted adapter, log component and service-request component for tests.
//
// RecordingWorld registers scripted classes under every class name Quillet
// creates (the typed adapter classes, the adapter session, the serialized-item
// manager, "Pellworth.Question", "Corvane.Log") for the life of the object,
// and puts the previous registrations back after. It traces the operations
// run on its thread meanwhile (quillet/trace.h, whole texts); its journal is
// that trace, one line per event:
//
//   new ServiceCallManager
//   ServiceCallRecord#1.Site = String "North"
//   ServiceCallManager#1.SubmitNewCalls(Object ServiceCallList#1)
//   release ServiceCallRecord#1
//
// Records and messages handed back by a submit come from the script. Any call
// to the scripted adapter (not a release, not the log) can be made to fail:
// the Nth one, every one from the Nth on, or every call whose journal line
// contains a given text.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/trace.h"

namespace quillet::testing {

// "String \"abc\"", "Byte 40", "Empty", "Null", "Object ServiceCallRecord#2".
// Texts over 60 code units as String[length] "first 20...".
std::string Show(const Variant& value);
// A dictionary as one line: {KEY: Type value, ...} in insertion order.
std::string Show(const Dictionary& dictionary);

struct LogEntry {
  std::string source;
  std::string text;
  Variant number;
  std::string extra;  // Show() of the fourth argument as received
};

// What a scripted back end answers.
struct Script {
  // Properties of the record handed back at index 0 of ReturnedCalls.
  std::vector<std::pair<adapter::CallProperty, Variant>> returned;
  std::vector<std::string> messages;
  bool update_answers_nothing = false;
  Variant engineer_time = Variant::Long(0);
  // Run by the session's addManager with its by-reference argument.
  std::function<void(Variant& manager)> on_add_manager;
  // Run by the serialized-item manager with its three arguments.
  std::function<void(Variant& table, Variant& component, Variant& error)>
      on_serialized_item;
};

struct Failure {
  int at = 0;            // the Nth call fails (1-based); 0: none
  bool from_on = false;  // and every call after it
  std::string matching;  // or every call whose line contains this
};

class RecordingWorld {
 public:
  RecordingWorld();
  ~RecordingWorld();
  RecordingWorld(const RecordingWorld&) = delete;
  RecordingWorld& operator=(const RecordingWorld&) = delete;

  Script script;
  Failure failure;
  // The log component fails to be created / its WriteEntry fails.
  bool log_unavailable = false;
  bool log_write_fails = false;
  // The session class is not registered at all.
  void RemoveSessionClass();

  std::vector<std::string> journal() const;
  // The journal's calls to the scripted adapter: no releases, nothing of
  // the log (the steps that failure injection counts).
  std::vector<std::string> AdapterCalls() const;
  // The journal lines that contain `text`, joined by "\n".
  std::string Lines(const std::string& text) const;
  std::string Journal() const;
  const std::vector<LogEntry>& log() const { return log_; }
  int calls() const { return calls_; }
  // Recording objects alive now, of every class.
  int LiveTotal() const;

  // Internal: used by the scripted objects. Step() counts a call to the
  // adapter (the trace's latest event) and raises when it is to fail.
  void Step();
  void Born(const std::string& class_name) { ++live_[class_name]; }
  void Died(const std::string& class_name) { --live_[class_name]; }
  void AddLogEntry(LogEntry entry) { log_.push_back(std::move(entry)); }

 private:
  Trace trace_{TraceOptions{.whole_texts = true}};
  std::optional<TraceScope> tracing_;
  std::vector<LogEntry> log_;
  std::map<std::string, int> live_;
  int calls_ = 0;
  std::vector<std::unique_ptr<ScopedClassRegistration>> registrations_;
  std::unique_ptr<ScopedClassRegistration> add_removed_;
};

// The error every injected failure raises.
inline constexpr int32_t kInjectedNumber = 1001;

}  // namespace quillet::testing
