// The examples in the public headers' comments, as code the compiler checks.
// A header example that stops compiling fails this test's build; the ones
// that change process-wide state (registrations) are compiled, not run.
#include <gtest/gtest.h>

#include "quillet/adapter.h"
#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/component_server.h"
#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

class MyManager : public adapter::ServiceCallManager {
 public:
  void Initialize(const String&) override {}
  Ref<adapter::CreateCallResponse> SubmitNewCalls(
      const Ref<adapter::ServiceCallList>&) override {
    return nullptr;
  }
  Ref<adapter::UpdateCallResponse> SubmitChangedCalls(
      const Ref<adapter::ServiceCallList>&) override {
    return nullptr;
  }
  void Close() override {}
};
class MyLog : public Object {};

// adapter.h, class_registry.h and component_server.h: registrations.
[[maybe_unused]] void RegistrationExamples() {
  RegisterClass(adapter::kServiceCallManagerClass, FactoryOf<MyManager>());
  RegisterClass(u"Corvane.Log", FactoryOf<MyLog>());
  LoadComponentServer("/usr/lib/libquillet.so");  // registers its classes
  Ref<Object> calls = CreateObject(u"Quillet.Calls");
}

TEST(HeaderExamplesTest, RunAsWritten) {
  testing::RecordingWorld world;
  {  // calls.h
    RegisterQuillet();
    Ref<CallsInterface> calls = CreateAs<CallsInterface>(kCallsClassName);
    Ref<Dictionary> details = MakeRef<Dictionary>();
    details->Add(u"COMPONENT", u"ServiceDesk");
    Variant error;
    Ref<Dictionary> result = calls->CreateCall(details, error);
    EXPECT_TRUE(result);
  }
  {  // variant.h
    Variant v = Variant::Byte(40);
    EXPECT_TRUE(v.type() == VarType::Byte && v.AsByte() == 40);
    world.script.on_serialized_item = [](Variant&, Variant&, Variant& error) {
      error = u"refused";
    };
    Ref<Object> manager = CreateObject(adapter::kSerializedItemManagerClass);
    Variant table = SafeArray(ElementType::String, {{0, 1}, {0, 2}}),
            component = u"Items", error;
    CallMethod(manager.Get(), u"CreateSerializedItem", table, component, error);
    EXPECT_EQ(error, Variant(u"refused"));  // what the manager wrote into it
  }
  {  // ref.h
    Ref<Dictionary> dict = MakeRef<Dictionary>();
    Ref<Object> any = dict;  // shares the object
    dict.Reset();            // drops one reference; `any` keeps it
    EXPECT_EQ(any->RefCount(), 1);
  }
  {  // safe_array.h
    int32_t rows = 3, row = 2;
    SafeArray table(ElementType::String, {{0, rows}, {0, 2}});
    table.Set({row, 1}, u"value");
    EXPECT_EQ(table.At({row, 1}), Variant(u"value"));
  }
  {                                    // error.h
    ErrorTrap trap(u"Quillet.Calls");  // clears the current error
    try {
      RaiseRuntime(errors::kOverflow);
    } catch (...) {
      trap.Catch();  // the caught error is now current
      EXPECT_EQ(CurrentError().number, errors::kOverflow);
    }
  }
  EXPECT_EQ(CurrentError().number, 0);  // leaving the trap cleared it
}

// The narrow-text trap stays closed: `Variant v = "abc";` does not compile.
static_assert(!std::is_constructible_v<Variant, const char*>);
static_assert(!std::is_constructible_v<Variant, Object*>);
static_assert(std::is_constructible_v<Variant, const char16_t*>);

}  // namespace
}  // namespace quillet
