// CreateCall and UpdateCall with call details of arbitrary keys, types and
// values on the recording adapter, with a failure injected at an arbitrary
// call: the operations end as their rules say and release every object.
#include <cstdlib>

#include "fuzz_support.h"
#include "quillet/calls.h"
#include "quillet/error.h"
#include "support/call_details.h"
#include "support/recording_adapter.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The keys the operations read, from the shared request fixtures.
  static const std::vector<std::u16string> kKeys = [] {
    std::vector<std::u16string> keys = {u"WAITINGDESC"};
    for (const auto& details :
         {testing::CreateCallDetails(), testing::UpdateCallDetails(2, 0),
          testing::UpdateCallDetails(7, 0)})
      for (const auto& [key, value] : details) keys.push_back(key);
    return keys;
  }();
  FuzzedDataProvider in(data, size);
  testing::RecordingWorld world;
  world.script.engineer_time = fuzz::Value(in);
  world.script.update_answers_nothing = in.ConsumeBool();
  world.failure.at = in.ConsumeIntegralInRange<int>(0, 60);
  world.failure.from_on = in.ConsumeBool();
  if (in.ConsumeBool()) world.script.messages = {"message"};
  Ref<Dictionary> details = MakeRef<Dictionary>();
  int entries = in.ConsumeIntegralInRange<int>(0, 16);
  for (int i = 0; i < entries; ++i) {
    Variant key =
        in.ConsumeBool()
            ? Variant(
                  kKeys[in.ConsumeIntegralInRange<size_t>(0, kKeys.size() - 1)])
            : Variant(fuzz::Text(in, 12));
    details->SetItem(key, fuzz::Value(in));
  }
  bool create = in.ConsumeBool();
  Variant error;
  Ref<CallsInterface> calls = NewCalls();
  try {
    if (create) {
      calls->CreateCall(details, error);
    } else {
      calls->UpdateCall(details, error);
    }
  } catch (const Error& e) {
    // CreateCall lets only a failure of its own failure path through.
    if (create && e.number() != testing::kInjectedNumber) std::abort();
  }
  if (world.LiveTotal() != 0) std::abort();
  if (CurrentError().number != 0) std::abort();
  return 0;
}
