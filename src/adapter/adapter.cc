// The late-bound surfaces of the adapter interfaces: what a caller reaches by
// name reaches the same virtual members as the C++ interface.
#include "quillet/adapter.h"

#include <array>

#include "quillet/convert.h"
#include "quillet/error.h"

namespace quillet::adapter {
namespace {

using enum CallProperty;
constexpr std::array<CallPropertyInfo, 38> kProperties{{
    {CallNumber, u"CallNumber", VarType::String},
    {SoldToBusinessPartner, u"SoldToBusinessPartner", VarType::String},
    {Site, u"Site", VarType::String},
    {ServiceObject, u"ServiceObject", VarType::String},
    {ObjectNumber, u"ObjectNumber", VarType::String},
    {CallDescription, u"CallDescription", VarType::String},
    {Problem, u"Problem", VarType::String},
    {Priority, u"Priority", VarType::Byte},
    {BusinessPartnerNumber, u"BusinessPartnerNumber", VarType::String},
    {OriginCode, u"OriginCode", VarType::Byte},
    {CallGroup1, u"CallGroup1", VarType::String},
    {CallGroup2, u"CallGroup2", VarType::String},
    {CallerName, u"CallerName", VarType::String},
    {Contact, u"Contact", VarType::String},
    {Engineer, u"Engineer", VarType::String},
    {CreatedBy, u"CreatedBy", VarType::String},
    {ActionDoneBy, u"ActionDoneBy", VarType::String},
    {TimeSpent, u"TimeSpent", VarType::Long},
    {Text, u"Text", VarType::Object},
    {SolutionText, u"SolutionText", VarType::Object},
    {Status, u"Status", VarType::Byte},
    {ActionProblem, u"ActionProblem", VarType::String},
    {ActionSolution, u"ActionSolution", VarType::String},
    {ActionActivity, u"ActionActivity", VarType::String},
    {WaitingFlag, u"WaitingFlag", VarType::Byte},
    {WaitingDescription, u"WaitingDescription", VarType::String},
    {OptionFlag, u"OptionFlag", VarType::Byte},
    {LastTransactionTime, u"LastTransactionTime", VarType::Long},
    {ChangedFlag, u"ChangedFlag", VarType::Byte},
    {ServiceOrder, u"ServiceOrder", VarType::String},
    {HasServiceOrder, u"HasServiceOrder", VarType::Boolean},
    {SecondaryServiceOrder, u"SecondaryServiceOrder", VarType::String},
    {HasSecondaryServiceOrder, u"HasSecondaryServiceOrder", VarType::Boolean},
    {Contract, u"Contract", VarType::String},
    {WarrantyFlag, u"WarrantyFlag", VarType::Byte},
    {Warranty, u"Warranty", VarType::String},
    {WarrantyDescription, u"WarrantyDescription", VarType::String},
    {WarrantyExpiryDate, u"WarrantyExpiryDate", VarType::String},
}};

// A value assigned late bound takes the property's type, as an assignment
// to a typed property does.
Variant Coerce(VarType type, const Variant& value) {
  switch (type) {
    case VarType::String:
      return ToString(value);
    case VarType::Byte:
      return Variant::Byte(ToByte(value));
    case VarType::Long:
      return Variant::Long(ToLong(value));
    case VarType::Boolean:
      return ToBoolean(value);
    case VarType::Object:
      if (!value.IsObject()) RaiseRuntime(errors::kObjectRequired);
      return value;
    default:
      return value;
  }
}

}  // namespace

std::span<const CallPropertyInfo> CallProperties() { return kProperties; }

const CallPropertyInfo& Describe(CallProperty property) {
  return kProperties[static_cast<size_t>(property)];
}

Variant UnsetValue(CallProperty property) {
  switch (Describe(property).type) {
    case VarType::String:
      return String();
    case VarType::Byte:
      return Variant::Byte(0);
    case VarType::Long:
      return Variant::Long(0);
    case VarType::Boolean:
      return false;
    default:
      return Ref<Object>();
  }
}

std::optional<CallProperty> FindCallProperty(StringView name) {
  for (const CallPropertyInfo& info : kProperties)
    if (EqualsIgnoringCase(info.name, name)) return info.property;
  return std::nullopt;
}

DispId ServiceCallRecord::IdOfName(StringView name) const {
  std::optional<CallProperty> p = FindCallProperty(name);
  if (!p) RaiseRuntime(errors::kNotSupported);
  return static_cast<DispId>(*p) + 1;
}

Variant ServiceCallRecord::Invoke(DispId id, InvokeKind kind, Args args) {
  if (id < 1 || id > static_cast<DispId>(kProperties.size()))
    RaiseRuntime(errors::kNotSupported);
  const CallPropertyInfo& info = kProperties[static_cast<size_t>(id - 1)];
  if (kind == InvokeKind::PropertyPut) {
    RequireArgCount(args, 1);
    Set(info.property, Coerce(info.type, *args[0]));
    return {};
  }
  RequireArgCount(args, 0);
  return Get(info.property);
}

namespace {
TextLines& AsText(Object& o) { return static_cast<TextLines&>(o); }
ServiceCallManager& AsManager(Object& o) {
  return static_cast<ServiceCallManager&>(o);
}
Ref<ServiceCallList> ListArgument(const Variant& value) {
  Ref<ServiceCallList> list =
      QueryInterface<ServiceCallList>(Ref<Object>(RequireObject(value)));
  if (!list) RaiseRuntime(errors::kTypeMismatch);
  return list;
}
}  // namespace

const DispatchTable* TextLines::Dispatch() const {
  static const DispatchTable table{
      {u"AddLine", 1,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         AsText(o).AddLine(ToString(*a[0]));
         return {};
       }},
      {u"TextMode", 2,
       [](Object& o, InvokeKind kind, Args a) -> Variant {
         if (kind == InvokeKind::PropertyPut) {
           RequireArgCount(a, 1);
           AsText(o).SetTextMode(ToString(*a[0]));
           return {};
         }
         RequireArgCount(a, 0);
         return AsText(o).TextMode();
       }},
  };
  return &table;
}

const DispatchTable* ServiceCallManager::Dispatch() const {
  static const DispatchTable table{
      {u"Initialize", 1,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         AsManager(o).Initialize(ToString(*a[0]));
         return {};
       }},
      {u"SubmitNewCalls", 2,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         return Variant(AsManager(o).SubmitNewCalls(ListArgument(*a[0])));
       }},
      {u"SubmitChangedCalls", 3,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         return Variant(AsManager(o).SubmitChangedCalls(ListArgument(*a[0])));
       }},
      {u"Close", 4,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         AsManager(o).Close();
         return {};
       }},
      {u"HonoursDryRun", 5,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         return AsManager(o).HonoursDryRun();
       }},
  };
  return &table;
}

void RegisterAdapter(const AdapterFactories& f, const ClassRegistration& how) {
  const std::pair<StringView, const ClassFactory*> classes[] = {
      {kServiceCallManagerClass, &f.service_call_manager},
      {kServiceCallRecordClass, &f.service_call_record},
      {kServiceCallListClass, &f.service_call_list},
      {kCreateCallResponseClass, &f.create_call_response},
      {kUpdateCallResponseClass, &f.update_call_response},
      {kCallTextClass, &f.call_text},
      {kSolutionTextClass, &f.solution_text},
      {kUserSessionClass, &f.user_session},
      {kSerializedItemManagerClass, &f.serialized_item_manager},
      {kQuestionClass, &f.question},
      {kLogClass, &f.log},
  };
  for (const auto& [name, factory] : classes)
    if (*factory) RegisterClass(name, *factory, how);
}

}  // namespace quillet::adapter
