// What one run of a front end shares below it, in one object rather than in
// hidden process-wide state: the embedded back end's stores, write groups,
// storage engines and counts, and the request keys bound in this run to
// requests not decided (keyed_outcomes.h). Each front end (the command, the
// service) makes one at its start and passes it down in its BackendSetup
// and RunOptions, as a test does with its own: two contexts in one process
// share none of it.
//
//   operations::Context context;
//   operations::BackendSetup setup{.db = "q.db", .context = &context};
//   Ref<CallsInterface> calls = operations::OpenCalls(setup, true);
//
// A context outlives every setup, run and Calls made with it. A host that
// registers the embedded back end itself, with no context, gets the
// process's (quillet/standins/embedded_backend.h).
#pragma once

#include <memory>

namespace quillet::operations {

class Context {
 public:
  Context();
  ~Context();  // closes the stores idle in its pool
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // What it holds, known to the operation layer only (context_parts.h).
  struct Parts;
  Parts& parts() const { return *parts_; }

 private:
  std::unique_ptr<Parts> parts_;
};

}  // namespace quillet::operations
