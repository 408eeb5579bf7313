// An in-process adapter that does no I/O: it keeps nothing and answers a
// fixed returned record. With a log component that discards entries and a
// service-request component with a fixed answer, it leaves only the
// library's own cost to measure.
#pragma once

#include "quillet/adapter.h"

namespace quillet::bench {

// Registers the null adapter, log and question classes under the adapter's
// class names (replacing any earlier registration).
void RegisterNullAdapter();

// The null adapter's classes, for the hand-written version that constructs
// them directly.
Ref<adapter::ServiceCallManager> NewNullManager();
Ref<adapter::ServiceCallRecord> NewNullRecord();
Ref<adapter::ServiceCallList> NewNullList();
Ref<adapter::CallText> NewNullCallText();
Ref<adapter::SolutionText> NewNullSolutionText();

// The session and the question, typed (the hand-written version calls them
// directly, without late binding).
class NullSession : public Object {
 public:
  void setUserInfo(const String&, const String&) {}
  void addManager(adapter::ServiceCallManager&) {}

 protected:
  const DispatchTable* Dispatch() const override;
};
class NullQuestion : public Object {
 public:
  int32_t GetEngineerTime(const String&) { return 60; }

 protected:
  const DispatchTable* Dispatch() const override;
};

}  // namespace quillet::bench
