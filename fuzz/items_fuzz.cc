// Serialized-item value tables of arbitrary shapes: the item table reaches
// the manager or the call fails with a runtime error; nothing leaks.
#include <cstdlib>

#include "fuzz_support.h"
#include "quillet/calls.h"
#include "quillet/error.h"
#include "support/recording_adapter.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  testing::RecordingWorld world;
  bool refuse = in.ConsumeBool();
  world.script.on_serialized_item = [&](Variant& table, Variant&,
                                        Variant& error) {
    const SafeArray& t = table.AsArray();
    if (t.Dimensions() != 2 || t.LowerBound(1) != 0 || t.UpperBound(2) != 1)
      std::abort();
    if (refuse) error = u"refused";
  };
  Variant values;
  if (in.ConsumeBool()) {
    int dims = in.ConsumeIntegralInRange<int>(1, 3);
    std::vector<Bound> bounds;
    for (int d = 0; d < dims; ++d)
      bounds.push_back({in.ConsumeIntegralInRange<int32_t>(-2, 2),
                        in.ConsumeIntegralInRange<int32_t>(0, 5)});
    SafeArray a(ElementType::Variant, bounds);
    for (Variant& e : const_cast<std::vector<Variant>&>(a.elements()))
      e = fuzz::Value(in, 2);
    values = std::move(a);
  } else {
    values = fuzz::Value(in);
  }
  Variant component = fuzz::Value(in, 2), error = fuzz::Value(in, 2);
  try {
    Ref<CallsInterface> calls = NewCalls();
    if (in.ConsumeBool()) {
      calls->CreateSerializedItem(values, component, error);
    } else {
      calls->UpdateSerializedItem(values, component, error);
    }
  } catch (const Error& e) {
    if (e.info().description.find(u"\r\nMETHOD: Quillet.Calls.") != 0)
      std::abort();
  }
  if (world.LiveTotal() != 0) std::abort();
  return 0;
}
