// CreateSerializedItem and UpdateSerializedItem: one body, three literals.
#include "calls/calls_impl.h"
#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"
#include "reporting/toliva_utilities.h"

namespace quillet {

struct Calls::SerializedItemTwin {
  StringView manager_member;
  StringView refusal_method;
  StringView failure_method;
};

namespace {

constexpr StringView kRefusalPrefix =
    u"Error while registering serialized item: ";

// Copies one column of the value table, row by row with a 16-bit counter:
// the limit must fit the counter, and stepping past row 32,767 overflows
// after that row was copied.
void CopyColumn(const SafeArray& values, SafeArray& table, int32_t last_row,
                int32_t column) {
  int16_t limit = ToInteger(Variant::Long(last_row));
  for (int32_t row = 0; row <= limit; ++row) {
    table.Set({row, column}, ToString(values.At({row, column})));
    if (row == INT16_MAX) RaiseRuntime(errors::kOverflow);
  }
}

}  // namespace

Variant Calls::RegisterSerializedItem(const SerializedItemTwin& twin,
                                      Variant& sValues, Variant& sBusComponent,
                                      Variant& sError) {
  Ref<CallsInterface> self(this);
  ErrorTrap trap(kCallsSource);
  Ref<Object> manager;
  Variant table;
  try {
    if (!sValues.IsArray()) RaiseRuntime(errors::kTypeMismatch);
    const SafeArray& values = sValues.AsArray();
    int32_t last_row = values.UpperBound(1);
    if (last_row < 0) RaiseRuntime(errors::kSubscriptOutOfRange);
    table = SafeArray(ElementType::String, {{0, last_row + 1}, {0, 2}});
    CopyColumn(values, table.AsArray(), last_row, 0);
    CopyColumn(values, table.AsArray(), last_row, 1);

    manager = CreateObject(adapter::kSerializedItemManagerClass);
    RequireDryRunHonoured(manager.Get());
    CallMethod(manager.Get(), twin.manager_member, table, sBusComponent,
               sError);
    if (TextLength(sError) > 0) {
      Variant information = Concat(String(kRefusalPrefix), sError);
      TolivaUtilities::ReportError(twin.refusal_method, information);
    }
    manager.Reset();
    table = Variant();
    return {};
  } catch (...) {
    trap.Catch();
    Variant description = CurrentError().description;
    TolivaUtilities::ReportError(twin.failure_method, description);
    throw;  // unreachable: with a current error ReportError raises
  }
}

Variant Calls::CreateSerializedItem(Variant& sValues, Variant& sBusComponent,
                                    Variant& sError) {
  static constexpr SerializedItemTwin kCreate{
      u"CreateSerializedItem", u"Quillet.Calls.CreateSerializedItem(ERP error)",
      u"Quillet.Calls.CreateSerializedItem"};
  return RegisterSerializedItem(kCreate, sValues, sBusComponent, sError);
}

Variant Calls::UpdateSerializedItem(Variant& sValues, Variant& sBusComponent,
                                    Variant& sError) {
  static constexpr SerializedItemTwin kUpdate{
      u"ChangeSerializedItem", u"Quillet.Calls.UpdateSerializedItem(ERP error)",
      u"Quillet.Calls.UpdateSerializedItem"};
  return RegisterSerializedItem(kUpdate, sValues, sBusComponent, sError);
}

}  // namespace quillet
