// Quillet.Calls: the component that records service calls and serialized
// items in the ERP back end.
//
// `CallsInterface` is the class's one interface, which the component model
// knows by the name "_Calls" (kCallsInterfaceName). Its five operations can be
// called through this C++ interface or late bound, by name or by the dispatch
// ids below; both ways reach the same code. A Calls instance holds no state: it
// serves any number of operations, in any order, on the thread that calls it.
//
// How failures leave each operation:
// - CreateCall absorbs them: it answers Nothing with the description in
//   `o_sErrorDescription` and a log entry. Only a failure inside its own
//   failure path (closing the manager, writing the log) escapes as an Error.
// - UpdateCall, CreateSerializedItem and UpdateSerializedItem log them and
//   raise them again as an Error that keeps the number and source and whose
//   description is "\r\nMETHOD: Quillet.Calls.<op> caught: <description>(<n>)."
//   followed by " Additional information: ..." when there is some.
// - backendTimeFormat traps nothing: runtime errors (6, 13, 94) reach the
//   caller unlogged, with the runtime's own number and description.
//
// Outside objects (the adapter, the log component, the service-request
// component) are created by class name through the class registry; see
// adapter.h for the contract a host implements.
//
//   RegisterQuillet();                     // or LoadComponentServer(path)
//   Ref<CallsInterface> calls = CreateAs<CallsInterface>(kCallsClassName);
//   Ref<Dictionary> details = MakeRef<Dictionary>();
//   details->Add(u"COMPONENT", u"ServiceDesk");
//   Variant error;
//   Ref<Dictionary> result = calls->CreateCall(details, error);
#pragma once

#include "quillet/component_server.h"
#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/export.h"
#include "quillet/variant.h"

namespace quillet {

inline constexpr StringView kCallsClassName = u"Quillet.Calls";
inline constexpr StringView kCallsClassId =
    u"{8cf78261-cece-4345-a046-f8cc6df931a0}";
inline constexpr StringView kCallsInterfaceName = u"_Calls";
inline constexpr StringView kCallsInterfaceId =
    u"{60d185da-549f-41de-9df9-ca076686dac1}";
inline constexpr StringView kQuilletLibraryId =
    u"{ea3c3443-d8ef-4baf-a4c4-0ea28b01d5f1}";

namespace dispid {
inline constexpr DispId kCreateCall = 0x60030000;
inline constexpr DispId kUpdateCall = 0x60030001;
inline constexpr DispId kBackendTimeFormat = 0x60030002;
inline constexpr DispId kCreateSerializedItem = 0x60030003;
inline constexpr DispId kUpdateSerializedItem = 0x60030004;
}  // namespace dispid

class QUILLET_API CallsInterface : public Object {
 public:
  // Records a new service call from `i_dictCallDetails`. Answers a dictionary
  // with CALLNUMBER, LASTTRANSTIME, CONTRACT and the WARRANTY keys as the
  // back end assigned them (an empty one when the adapter session could not
  // be bound), or Nothing on failure. Reading a key the caller's dictionary
  // lacks adds it with an Empty value.
  virtual Ref<Dictionary> CreateCall(const Ref<Dictionary>& i_dictCallDetails,
                                     Variant& o_sErrorDescription) = 0;
  // Changes a service call as "OPTION" selects; answers the call's new state
  // as a dictionary, a dictionary of CHANGEDFLAG = 2 when the back end
  // answered nothing, or Empty when the session could not be bound.
  virtual Variant UpdateCall(const Ref<Dictionary>& i_dictCallDetails,
                             Variant& o_sErrorDescription) = 0;
  // Minutes to the back end's hours-and-minutes number (hours * 100 +
  // minutes) as a Long; 0 as an Integer for 0 or less. Never changes lValue.
  virtual Variant backendTimeFormat(Variant& lValue) = 0;
  // Registers / changes a serialized item from a two-column table. Always
  // answers Empty; a refusal is the adapter's text left in `sError`.
  virtual Variant CreateSerializedItem(Variant& sValues, Variant& sBusComponent,
                                       Variant& sError) = 0;
  virtual Variant UpdateSerializedItem(Variant& sValues, Variant& sBusComponent,
                                       Variant& sError) = 0;

  StringView ClassName() const override { return kCallsClassName; }

 protected:
  const DispatchTable* Dispatch() const override;
};

// A new Calls instance, for hosts that link the library directly.
QUILLET_API Ref<CallsInterface> NewCalls();

// The library's type library: name "Quillet", help string "Toliva 2.4 -
// Quillet", version 1.0, locale neutral, file version 2.4.0.0.
QUILLET_API const TypeLibraryInfo& QuilletTypeLibrary();

// Registers "Quillet.Calls" with the class registry, as the library's
// DllRegisterServer entry point does.
QUILLET_API void RegisterQuillet();

}  // namespace quillet
