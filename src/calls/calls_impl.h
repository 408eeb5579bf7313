// The Calls class: one source per operation (create_call.cc, update_call.cc,
// backend_time_format.cc, serialized_item.cc for the twin pair).
#pragma once

#include "quillet/adapter.h"
#include "quillet/calls.h"
#include "quillet/convert.h"

namespace quillet {

class Calls final : public CallsInterface {
 public:
  Ref<Dictionary> CreateCall(const Ref<Dictionary>& i_dictCallDetails,
                             Variant& o_sErrorDescription) override;
  Variant UpdateCall(const Ref<Dictionary>& i_dictCallDetails,
                     Variant& o_sErrorDescription) override;
  Variant backendTimeFormat(Variant& lValue) override;
  Variant CreateSerializedItem(Variant& sValues, Variant& sBusComponent,
                               Variant& sError) override;
  Variant UpdateSerializedItem(Variant& sValues, Variant& sBusComponent,
                               Variant& sError) override;

 private:
  struct SerializedItemTwin;
  Variant RegisterSerializedItem(const SerializedItemTwin& twin,
                                 Variant& sValues, Variant& sBusComponent,
                                 Variant& sError);
};

// The source that runtime errors raised inside the class carry.
inline constexpr StringView kCallsSource = u"Quillet.Calls";

// The call details, for reading: raises 91 when the caller passed Nothing.
Dictionary& Details(const Ref<Dictionary>& details);

// A value read as text, as ToString reads it, but kept a Variant: a text is
// passed on as it is (a short one without an allocation) and anything else is
// converted, raising as ToString does.
Variant AsText(const Variant& value);
Variant AsText(Variant&& value);
// Whether the value reads as the empty text (ToString(value).empty()),
// without copying it when it is a text already.
bool IsEmptyText(const Variant& value);

// An item of the call details read as text without copying a long text: the
// item's own string when it holds one, else its conversion (which raises as
// ToString does). The details are the caller's and are not changed while an
// operation runs, so the view stays valid for the operation.
class DetailText {
 public:
  explicit DetailText(const Variant& item) {
    if (item.IsString()) {
      view_ = item.AsString();
    } else {
      converted_ = ToString(item);
      view_ = converted_;
    }
  }
  DetailText(const DetailText&) = delete;
  DetailText& operator=(const DetailText&) = delete;
  StringView view() const { return view_; }

 private:
  String converted_;
  StringView view_;
};

// Fails with "Object variable or With block variable not set" (91) when an
// adapter member answered Nothing where an object is needed.
template <class T>
T& Deref(const Ref<T>& ref);

[[noreturn]] void RaiseObjectNotSet();

// The manager that the by-reference argument of session binding holds after
// the call: binding may have put another manager there, and the operation
// goes on with it. Nothing stays Nothing; anything that is not a service-call
// manager raises 13, as assigning it to a typed variable would.
Ref<adapter::ServiceCallManager> ManagerAfterBinding(const Variant& argument);

// Under a dry run, raises kDryRunNotHonoured unless `manager` (the adapter
// object that will store the request) answers True to HonoursDryRun; outside
// one, does nothing. Nothing stays Nothing: its use fails on its own.
void RequireDryRunHonoured(Object* manager);

// Creates the service-call manager by class name into `manager` and, under
// a dry run, requires that it honours one. `manager` is the caller's, so
// that its exit block closes what was created even when this raises.
void CreateManager(Ref<adapter::ServiceCallManager>& manager);

// Binds an adapter session for `component` to `manager` and goes on with the
// manager the binding left in its argument (another one is asked about dry
// runs too). Answers whether the binding succeeded.
bool BindManager(const String& component,
                 Ref<adapter::ServiceCallManager>& manager);

template <class T>
T& Deref(const Ref<T>& ref) {
  if (!ref) RaiseObjectNotSet();
  return *ref;
}

}  // namespace quillet
