// Late binding, the class registry, safe arrays, the current error and the
// object context.
#include <gtest/gtest.h>

#include <thread>

#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "quillet/safe_array.h"
#include "support/raises.h"

namespace quillet {
namespace {

// A member that writes into its by-reference argument.
class Doubler : public Object {
 public:
  int calls = 0;

 protected:
  const DispatchTable* Dispatch() const override {
    static const DispatchTable table{
        {u"Twice", 7, [](Object& o, InvokeKind, Args a) -> Variant {
           RequireArgCount(a, 1);
           static_cast<Doubler&>(o).calls++;
           *a[0] = Variant::Long(ToLong(*a[0]) * 2);
           return u"done";
         }}};
    return &table;
  }
};

TEST(LateBindingTest, ArgumentsAreTheCallersVariables) {
  Ref<Doubler> doubler = MakeRef<Doubler>();
  Doubler& d = *doubler;
  Variant x = 21;
  EXPECT_EQ(CallMethod(&d, u"twice", x), Variant(u"done"));
  EXPECT_EQ(x, Variant::Long(42));
  Variant* refs[] = {&x};
  EXPECT_EQ(d.IdOfName(u"TWICE"), 7);
  d.Invoke(7, InvokeKind::Method, refs);
  EXPECT_EQ(x, Variant::Long(84));
  EXPECT_EQ(d.calls, 2);
  // The runtime's own errors: no such member, wrong count, no object.
  EXPECT_RAISES(CallMethod(&d, u"Thrice", x), errors::kNotSupported);
  EXPECT_RAISES(d.Invoke(99, InvokeKind::Method, {}), errors::kNotSupported);
  EXPECT_RAISES(CallMethod(&d, u"Twice"), errors::kWrongArgCount);
  EXPECT_RAISES(CallMethod(nullptr, u"Twice", x), errors::kObjectNotSet);
}

TEST(ClassRegistryTest, CreatesByNameAndFailsWith429) {
  EXPECT_RAISES_WITH(CreateObject(u"No.Such.Class"), errors::kCantCreateObject,
                     u"ActiveX component can't create object");
  try {
    CreateObject(u"No.Such.Class");
  } catch (const Error& e) {
    EXPECT_EQ(e.subject(), u"No.Such.Class");  // the host learns which class
  }
  {
    ScopedClassRegistration scoped(
        u"Test.Doubler", [] { return Ref<Object>(MakeRef<Doubler>()); });
    EXPECT_TRUE(CreateObject(u"test.doubler"));  // names fold case
    EXPECT_RAISES(RegisterClass(u"Test.Doubler", [] { return Ref<Object>(); }),
                  errors::kDuplicateKey);
    EXPECT_RAISES(CreateAs<Dictionary>(u"Test.Doubler"), errors::kTypeMismatch);
  }
  EXPECT_FALSE(FindClass(u"Test.Doubler").has_value());
  ScopedClassRegistration nothing(u"Test.Nothing",
                                  [] { return Ref<Object>(); });
  EXPECT_RAISES(CreateObject(u"Test.Nothing"), errors::kCantCreateObject);
  // A scoped registration puts the previous one back.
  RegisterClass(u"Test.Kept", [] { return Ref<Object>(MakeRef<Doubler>()); });
  {
    ScopedClassRegistration scoped(
        u"Test.Kept", [] { return Ref<Object>(MakeRef<Dictionary>()); });
    EXPECT_TRUE(QueryInterface<Dictionary>(CreateObject(u"Test.Kept")));
  }
  EXPECT_TRUE(QueryInterface<Doubler>(CreateObject(u"Test.Kept")));
  EXPECT_TRUE(UnregisterClass(u"Test.Kept"));
}

TEST(SafeArrayTest, BoundsAndSubscripts) {
  SafeArray a(ElementType::String, {{0, 3}, {1, 2}});
  EXPECT_EQ(a.Dimensions(), 2);
  EXPECT_EQ(a.UpperBound(1), 2);
  EXPECT_EQ(a.LowerBound(2), 1);
  EXPECT_EQ(a.UpperBound(2), 2);
  EXPECT_EQ(a.At({2, 2}), Variant(u""));
  a.Set({1, 1}, 12);
  EXPECT_EQ(a.At({1, 1}), Variant(u"12"));  // string arrays hold text
  EXPECT_RAISES(a.UpperBound(3), errors::kSubscriptOutOfRange);
  EXPECT_RAISES(a.At({0, 0}), errors::kSubscriptOutOfRange);
  EXPECT_RAISES(a.At({0}), errors::kSubscriptOutOfRange);
  EXPECT_RAISES(a.Set({0, 1}, kNull), errors::kInvalidUseOfNull);
  SafeArray empty(ElementType::Variant, {{0, 0}});
  EXPECT_EQ(empty.UpperBound(1), -1);
  // Arrays are values: a copy does not share elements.
  Variant v = SafeArray(ElementType::Variant, {{0, 1}});
  Variant copy = v;
  v.AsArray().Set({0}, 1);
  EXPECT_TRUE(copy.AsArray().At({0}).IsEmpty());
}

TEST(CurrentErrorTest, TrapMakesTheCaughtErrorCurrentAndClearsIt) {
  {
    ErrorTrap trap(u"Test.Source");
    try {
      RaiseRuntime(errors::kOverflow);
    } catch (...) {
      const ErrorInfo& e = trap.Catch();
      EXPECT_EQ(e.number, 6);
      EXPECT_EQ(e.source, u"Test.Source");
      EXPECT_EQ(CurrentError().description, u"Overflow");
    }
    // A nested procedure that absorbed its own failure leaves none behind.
    auto nested = [] {
      ErrorTrap inner(u"Inner");
      try {
        Raise({.number = 5, .source = u"Kept"});
      } catch (...) {
        EXPECT_EQ(inner.Catch().source, u"Kept");
      }
    };
    nested();
    EXPECT_EQ(CurrentError().number, 0);
  }
  EXPECT_EQ(CurrentError().number, 0);
  EXPECT_RAISES(Raise({.number = 0}), errors::kInvalidCall);
}

TEST(CurrentErrorTest, EachThreadHasItsOwn) {
  SetCurrentError({.number = 13, .description = u"main"});
  int32_t seen_on_thread = -1;
  std::thread([&] {
    seen_on_thread = CurrentError().number;
    SetCurrentError({.number = 9});
  }).join();
  EXPECT_EQ(seen_on_thread, 0);
  EXPECT_EQ(CurrentError().number, 13);
  ClearCurrentError();
}

class Context : public ObjectContext {
 public:
  String Identity() const override { return u"ctx"; }
  Ref<Object> CreateInstance(StringView name) override {
    return CreateObject(name);
  }
};

TEST(ObjectContextTest, OnlyInsideAScope) {
  EXPECT_FALSE(GetObjectContext());
  {
    ObjectContextScope scope(MakeRef<Context>());
    EXPECT_EQ(GetObjectContext()->Identity(), u"ctx");
    std::thread([] { EXPECT_FALSE(GetObjectContext()); }).join();
  }
  EXPECT_FALSE(GetObjectContext());
}

}  // namespace
}  // namespace quillet
