// Both ways of calling Calls reach the same operations; the library can be
// loaded by path and Quillet.Calls created by class name.
#include <gtest/gtest.h>

#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/component_server.h"
#include "quillet/error.h"
#include "support/raises.h"
#include "support/recording_adapter.h"

namespace quillet {
namespace {

TEST(ComponentSurfaceTest, DispatchIdsAndNamesReachTheOperations) {
  Ref<CallsInterface> calls = NewCalls();
  const std::pair<const char16_t*, DispId> members[] = {
      {u"CreateCall", 0x60030000},
      {u"UpdateCall", 0x60030001},
      {u"backendTimeFormat", 0x60030002},
      {u"CreateSerializedItem", 0x60030003},
      {u"UpdateSerializedItem", 0x60030004},
  };
  for (const auto& [name, id] : members) EXPECT_EQ(calls->IdOfName(name), id);

  Variant minutes = 90;
  Variant* args[] = {&minutes};
  EXPECT_EQ(calls->Invoke(dispid::kBackendTimeFormat, InvokeKind::Method, args),
            Variant::Long(130));
  EXPECT_EQ(CallMethod(calls.Get(), u"BACKENDTIMEFORMAT", minutes),
            Variant::Long(130));
}

TEST(ComponentSurfaceTest, LateBoundCallsReachTheSameCode) {
  testing::RecordingWorld world;
  Ref<CallsInterface> calls = NewCalls();
  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"OPTION", 9);
  world.script.returned = {
      {adapter::CallProperty::LastTransactionTime, Variant::Long(7)}};
  Variant dict(details), error = u"unchanged";
  Variant result = CallMethod(calls.Get(), u"UpdateCall", dict, error);
  std::string late = world.Journal();
  ASSERT_TRUE(result.IsObject());

  testing::RecordingWorld early_world;
  early_world.script = world.script;
  Variant early_error = u"unchanged";
  Variant early = calls->UpdateCall(details, early_error);
  EXPECT_EQ(early_world.Journal(), late);
  EXPECT_EQ(testing::Show(*QueryInterface<Dictionary>(early.AsObject())),
            testing::Show(*QueryInterface<Dictionary>(result.AsObject())));

  Variant not_a_dictionary = u"x";
  EXPECT_RAISES(CallMethod(calls.Get(), u"CreateCall", not_a_dictionary, error),
                errors::kTypeMismatch);
}

TEST(ComponentSurfaceTest, OneInstanceServesOperationsInAnyOrder) {
  testing::RecordingWorld world;
  Ref<CallsInterface> calls = NewCalls();
  for (int round = 0; round < 3; ++round) {
    Variant m = 61;
    EXPECT_EQ(calls->backendTimeFormat(m), Variant::Long(101));
    Ref<Dictionary> details = MakeRef<Dictionary>();
    Variant error;
    EXPECT_TRUE(calls->CreateCall(details, error));
    EXPECT_TRUE(calls->UpdateCall(details, error).IsObject());
  }
  EXPECT_EQ(world.LiveTotal(), 0);
}

TEST(ComponentSurfaceTest, LoaderCreatesCallsThroughTheEntryPoints) {
  UnregisterClass(kCallsClassName);
  LoadComponentServer(QUILLET_LIBRARY_PATH);
  std::optional<ClassEntry> entry = FindClass(u"quillet.calls");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->class_id, kCallsClassId);
  Ref<Object> calls = CreateObject(kCallsClassName);
  Variant minutes = u"125";
  EXPECT_EQ(CallMethod(calls.Get(), u"backendTimeFormat", minutes),
            Variant::Long(205));

  std::optional<TypeLibraryInfo> library = FindTypeLibrary(kCallsClassName);
  ASSERT_TRUE(library.has_value());
  EXPECT_EQ(library->name, u"Quillet");
  EXPECT_EQ(library->help_string, u"Toliva 2.4 - Quillet");
  EXPECT_EQ(library->major_version, 1);
  EXPECT_EQ(library->minor_version, 0);
  EXPECT_EQ(library->file_version, u"2.4.0.0");
}

TEST(ComponentSurfaceTest, LoaderRefusesWhatIsNotAComponentLibrary) {
  EXPECT_RAISES(LoadComponentServer("/nonexistent/libnothing.so"),
                errors::kCantCreateObject);
}

}  // namespace
}  // namespace quillet
