// Late-bound calls with arbitrary names, argument counts and types, on the
// Calls component and on a dictionary: an answer or a runtime error, never
// a crash.
#include <cstdlib>

#include "fuzz_support.h"
#include "quillet/calls.h"
#include "quillet/error.h"
#include "support/recording_adapter.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char16_t* const kNames[] = {u"CreateCall",
                                           u"UpdateCall",
                                           u"backendTimeFormat",
                                           u"CreateSerializedItem",
                                           u"UpdateSerializedItem",
                                           u"Add",
                                           u"Item",
                                           u"Exists",
                                           u"Count",
                                           u"Remove",
                                           u"RemoveAll",
                                           u"Keys",
                                           u"Items",
                                           u"BACKENDTIMEFORMAT"};
  FuzzedDataProvider in(data, size);
  testing::RecordingWorld world;
  Ref<Object> target = in.ConsumeBool() ? Ref<Object>(NewCalls())
                                        : Ref<Object>(MakeRef<Dictionary>());
  for (int call = 0; call < 4 && in.remaining_bytes() > 0; ++call) {
    std::vector<Variant> values;
    int count = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < count; ++i) values.push_back(fuzz::Value(in));
    std::vector<Variant*> args;
    for (Variant& v : values) args.push_back(&v);
    String name = in.ConsumeBool()
                      ? String(kNames[in.ConsumeIntegralInRange<size_t>(
                            0, std::size(kNames) - 1)])
                      : fuzz::Text(in, 20);
    auto kind = static_cast<InvokeKind>(in.ConsumeIntegralInRange<int>(0, 2));
    try {
      if (in.ConsumeBool()) {
        target->Invoke(in.ConsumeIntegral<int32_t>(), kind, args);
      } else {
        CallByName(target.Get(), name, kind, args);
      }
    } catch (const Error&) {
    }
  }
  target.Reset();
  if (world.LiveTotal() != 0) std::abort();
  return 0;
}
