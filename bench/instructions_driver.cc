// Runs one operation after a warm-up, between the markers that
// bench/instructions.sh counts: Quillet's CreateCall or UpdateCall (option 2)
// on the null adapter, or the same work written by hand.
#include <cstring>
#include <string>

#include "null_adapter.h"
#include "quillet/calls.h"
#include "workload.h"

namespace {

using namespace quillet;
using namespace quillet::bench;

void Run(CallsInterface* calls, const std::string& what) {
  Variant error;
  if (what == "create") {
    calls->CreateCall(ToDictionary(CallDetails()), error);
  } else if (what == "update") {
    calls->UpdateCall(ToDictionary(UpdateDetails(2)), error);
  } else if (what == "create-hand") {
    Details copy = CallDetails();
    HandWrittenCreateCall(copy);
  } else {
    Details copy = UpdateDetails(2);
    HandWrittenUpdateCall(copy);
  }
}

}  // namespace

// Kept out of line so that callgrind's --toggle-collect can find it.
extern "C" __attribute__((noinline)) void MeasuredOperation(
    CallsInterface* calls, const std::string* what) {
  Run(calls, *what);
}

int main(int argc, char** argv) {
  RegisterNullAdapter();
  auto calls = NewCalls();
  std::string what = argc > 1 ? argv[1] : "create";
  UpdateDetails(2);
  Run(calls.Get(), what);  // warm-up: per-thread tables, statics
  MeasuredOperation(calls.Get(), &what);
  return 0;
}
