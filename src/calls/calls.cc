#include "calls/calls_impl.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "session/toliva_include.h"

namespace quillet {

Dictionary& Details(const Ref<Dictionary>& details) { return Deref(details); }

void RaiseObjectNotSet() { RaiseRuntime(errors::kObjectNotSet); }

Variant AsText(const Variant& value) {
  return value.IsString() ? value : Variant(ToString(value));
}

Variant AsText(Variant&& value) {
  return value.IsString() ? std::move(value) : Variant(ToString(value));
}

bool IsEmptyText(const Variant& value) {
  return value.IsString() ? value.AsString().empty() : ToString(value).empty();
}

Ref<adapter::ServiceCallManager> ManagerAfterBinding(const Variant& argument) {
  if (!argument.IsObject()) RaiseRuntime(errors::kTypeMismatch);
  if (!argument.AsObject()) return nullptr;
  Ref<adapter::ServiceCallManager> manager =
      QueryInterface<adapter::ServiceCallManager>(argument.AsObject());
  if (!manager) RaiseRuntime(errors::kTypeMismatch);
  return manager;
}

void RequireDryRunHonoured(Object* manager) {
  if (!manager || !InDryRun()) return;
  bool honoured = false;
  try {
    honoured = ToBoolean(GetProperty(manager, u"HonoursDryRun"));
  } catch (const Error&) {
    // An adapter without the member knows nothing of dry runs.
  }
  if (!honoured)
    Raise({.number = adapter::kDryRunNotHonoured,
           .source = String(kCallsSource),
           .description = String(adapter::kDryRunNotHonouredText)});
}

void CreateManager(Ref<adapter::ServiceCallManager>& manager) {
  manager =
      CreateAs<adapter::ServiceCallManager>(adapter::kServiceCallManagerClass);
  RequireDryRunHonoured(manager.Get());
}

bool BindManager(const String& component,
                 Ref<adapter::ServiceCallManager>& manager) {
  Variant bound_manager(manager);
  bool bound = TolivaInclude::BindAdapterSession(component, bound_manager);
  Ref<adapter::ServiceCallManager> created = manager;
  manager = ManagerAfterBinding(bound_manager);
  // Binding may have put another manager in place: that one is asked too.
  if (manager.Get() != created.Get()) RequireDryRunHonoured(manager.Get());
  created.Reset();
  bound_manager = Variant();
  return bound;
}

Ref<CallsInterface> NewCalls() { return MakeRef<Calls>(); }

namespace {

CallsInterface& Self(Object& o) { return static_cast<CallsInterface&>(o); }

// The call details as passed late bound: a Dictionary, or Nothing.
Ref<Dictionary> DictionaryArgument(const Variant& value) {
  if (value.IsObject()) {
    if (!value.AsObject()) return nullptr;
    if (Ref<Dictionary> d = QueryInterface<Dictionary>(value.AsObject()))
      return d;
  }
  RaiseRuntime(errors::kTypeMismatch);
}

}  // namespace

const DispatchTable* CallsInterface::Dispatch() const {
  static const DispatchTable table{
      {u"CreateCall", dispid::kCreateCall,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 2);
         return Variant(Self(o).CreateCall(DictionaryArgument(*a[0]), *a[1]));
       }},
      {u"UpdateCall", dispid::kUpdateCall,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 2);
         return Self(o).UpdateCall(DictionaryArgument(*a[0]), *a[1]);
       }},
      {u"backendTimeFormat", dispid::kBackendTimeFormat,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         return Self(o).backendTimeFormat(*a[0]);
       }},
      {u"CreateSerializedItem", dispid::kCreateSerializedItem,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 3);
         return Self(o).CreateSerializedItem(*a[0], *a[1], *a[2]);
       }},
      {u"UpdateSerializedItem", dispid::kUpdateSerializedItem,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 3);
         return Self(o).UpdateSerializedItem(*a[0], *a[1], *a[2]);
       }},
  };
  return &table;
}

}  // namespace quillet
