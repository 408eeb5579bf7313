// What Quillet requires of the outside systems it talks to: the back-end
// adapter library, the adapter session, the service-request component and
// the log component. This is the extension point for hosts.
//
// Quillet creates every outside object through the class registry
// (class_registry.h) by the class names below, and never by any other means.
// A host plugs in a real ERP adapter by registering its own factories under
// these names before the first call:
//
//   RegisterClass(adapter::kServiceCallManagerClass, FactoryOf<MyManager>());
//   ... one line per class ...
//
// The typed classes (manager, record, list, responses, texts) must derive
// from the interfaces declared here; a registered class that does not makes
// the operation fail with "Type mismatch" (13). The adapter session, the
// serialized-item manager, the service-request component and the log
// component are only ever called by name (late bound), so any Object whose
// dispatch surface has the members named below will do.
//
// Every member may fail by raising a quillet::Error (error.h); the calling
// operation then takes its failure path. Objects are used on one thread at a
// time, each created for one operation and released at its end; nothing is
// cached between operations.
#pragma once

#include <optional>
#include <span>

#include "quillet/class_registry.h"
#include "quillet/export.h"
#include "quillet/variant.h"

namespace quillet::adapter {

// Class names of the typed adapter classes.
inline constexpr StringView kServiceCallManagerClass =
    u"Holmfast.Adapter.Boi.ServiceCallManager";
inline constexpr StringView kServiceCallRecordClass =
    u"Holmfast.Adapter.Boi.ServiceCallRecord";
inline constexpr StringView kServiceCallListClass =
    u"Holmfast.Adapter.Boi.ServiceCallList";
inline constexpr StringView kCreateCallResponseClass =
    u"Holmfast.Adapter.Boi.CreateCallResponse";
inline constexpr StringView kUpdateCallResponseClass =
    u"Holmfast.Adapter.Boi.UpdateCallResponse";
inline constexpr StringView kCallTextClass = u"Holmfast.Adapter.Boi.CallText";
inline constexpr StringView kSolutionTextClass =
    u"Holmfast.Adapter.Boi.SolutionText";

// Late-bound classes.
// Members: setUserInfo(String, String), addManager(manager).
inline constexpr StringView kUserSessionClass =
    u"Holmfast.Adapter.Boi.UserSession";
// Members: CreateSerializedItem(table, component, error) and
// ChangeSerializedItem(table, component, error), all three by reference; a
// refusal is a non-empty text written into `error`.
inline constexpr StringView kSerializedItemManagerClass =
    u"Holmfast.Adapter.Boi.SerializedItemManager";
// The service-request component. Member: GetEngineerTime(question id),
// answering a number of minutes.
inline constexpr StringView kQuestionClass = u"Pellworth.Question";
// The log component. Member: WriteEntry(source As String, text As String,
// number As Long, extra As Variant).
inline constexpr StringView kLogClass = u"Corvane.Log";

// The properties of a service-call record.
enum class CallProperty : uint8_t {
  CallNumber,
  SoldToBusinessPartner,
  Site,
  ServiceObject,
  ObjectNumber,
  CallDescription,
  Problem,
  Priority,
  BusinessPartnerNumber,
  OriginCode,
  CallGroup1,
  CallGroup2,
  CallerName,
  Contact,
  Engineer,
  CreatedBy,
  ActionDoneBy,
  TimeSpent,
  Text,
  SolutionText,
  Status,
  ActionProblem,
  ActionSolution,
  ActionActivity,
  WaitingFlag,
  WaitingDescription,
  OptionFlag,
  LastTransactionTime,
  ChangedFlag,
  ServiceOrder,
  HasServiceOrder,
  SecondaryServiceOrder,
  HasSecondaryServiceOrder,
  Contract,
  WarrantyFlag,
  Warranty,
  WarrantyDescription,
  WarrantyExpiryDate,
};

struct CallPropertyInfo {
  CallProperty property;
  StringView name;  // as the property is named late bound: "CallNumber"
  VarType type;     // String, Byte, Long, Boolean, or Object for the texts
};

// Every property, in the order of CallProperty.
QUILLET_API std::span<const CallPropertyInfo> CallProperties();
QUILLET_API const CallPropertyInfo& Describe(CallProperty property);
// By name, case-insensitively.
QUILLET_API std::optional<CallProperty> FindCallProperty(StringView name);
// What a record answers for a property that was never set: the empty value
// of its type ("", Byte 0, Long 0, False, or Nothing for the texts).
QUILLET_API Variant UnsetValue(CallProperty property);

// One service call. Quillet sets properties on a fresh record before
// submitting it, and reads them from the records a submit hands back. A set
// value always has the property's type (Text holds a CallText, SolutionText
// a SolutionText). Get answers the property's value; a property never set
// answers the empty value of its type ("" / 0 / False / Nothing).
// Late bound, each property is reachable by its name.
class QUILLET_API ServiceCallRecord : public Object {
 public:
  virtual Variant Get(CallProperty property) const = 0;
  virtual void Set(CallProperty property, Variant value) = 0;

  DispId IdOfName(StringView name) const override;
  Variant Invoke(DispId id, InvokeKind kind, Args args) override;
};

// A text of several pieces: each AddLine appends one piece of at most 2048
// characters; TextMode is a string property ("a": append).
class QUILLET_API TextLines : public Object {
 public:
  virtual void AddLine(const String& piece) = 0;
  virtual String TextMode() const = 0;
  virtual void SetTextMode(const String& mode) = 0;

 protected:
  const DispatchTable* Dispatch() const override;
};
class QUILLET_API CallText : public TextLines {};
class QUILLET_API SolutionText : public TextLines {};

class QUILLET_API ServiceCallList : public Object {
 public:
  virtual void Add(const Ref<ServiceCallRecord>& record) = 0;
  virtual int32_t Count() const = 0;
  // Zero-based; raises 9 for an index out of range.
  virtual Ref<ServiceCallRecord> Item(int32_t index) const = 0;
};

class QUILLET_API AdapterMessage : public Object {
 public:
  virtual String Text() const = 0;
};

class QUILLET_API MessageList : public Object {
 public:
  virtual int32_t Count() const = 0;
  // Zero-based; raises 9 for an index out of range.
  virtual Ref<AdapterMessage> Item(int32_t index) const = 0;
};

// The answer to a submit: the records as the back end stored them (first at
// index 0) and its complaints about them.
class QUILLET_API CallResponse : public Object {
 public:
  virtual Ref<ServiceCallList> ReturnedCalls() const = 0;
  virtual Ref<MessageList> Messages() const = 0;
};
class QUILLET_API CreateCallResponse : public CallResponse {};
class QUILLET_API UpdateCallResponse : public CallResponse {};

// Submits service calls. Quillet registers it with a fresh adapter session
// (addManager) and calls Initialize(component) by name before anything else,
// and always calls Close() before releasing it.
class QUILLET_API ServiceCallManager : public Object {
 public:
  virtual void Initialize(const String& component) = 0;
  // Stores the records of `list` as new calls.
  virtual Ref<CreateCallResponse> SubmitNewCalls(
      const Ref<ServiceCallList>& list) = 0;
  // Applies the changed records of `list`; may answer Nothing.
  virtual Ref<UpdateCallResponse> SubmitChangedCalls(
      const Ref<ServiceCallList>& list) = 0;
  virtual void Close() = 0;
  // Whether the adapter honours a dry run (object_context.h): see below.
  virtual bool HonoursDryRun() const { return false; }

 protected:
  const DispatchTable* Dispatch() const override;
};

// Dry runs. A host may ask for an operation to run in full without storing
// anything: its object context answers DryRun() true. Before sending such an
// operation anything, Quillet asks the manager it created (the service-call
// manager, or the serialized-item manager) for its property HonoursDryRun.
// Only an adapter that answers True is used; it promises that, while the
// context asks for a dry run, it does all its work and answers as it would,
// and then stores nothing: no call, no item, no request key. Any other
// answer, or no such member, fails the operation with
// kDryRunNotHonoured before anything is sent.
// The platform's object-defined error range: vbObjectError + 1040.
inline constexpr int32_t kDryRunNotHonoured = -2147221504 + 1040;
inline constexpr StringView kDryRunNotHonouredText =
    u"The back end cannot do a dry run; nothing was sent to it";

// The classes an adapter provides, each to be registered under the class
// name above that Quillet creates it by. A factory left empty is not
// registered.
struct AdapterFactories {
  ClassFactory service_call_manager, service_call_record, service_call_list,
      create_call_response, update_call_response, call_text, solution_text,
      user_session, serialized_item_manager, question, log;
};
// Registers every factory given, in the order above, as `how` says
// (class_registry.h): a name that is taken raises 457, and the names after
// it are not registered, unless `how.replace_existing`.
//   RegisterAdapter({.service_call_manager = FactoryOf<MyManager>(), ...});
QUILLET_API void RegisterAdapter(const AdapterFactories& factories,
                                 const ClassRegistration& how = {});

// The value classes' factories (record, list, both responses, both texts)
// of an adapter that has one class template for the responses and one for
// the texts, over the interface each implements: Response<CreateCallResponse>,
// Text<CallText>, ... The rest are the host's to fill in:
//   AdapterFactories classes = ValueClasses<Record, List, Response, Text>();
//   classes.service_call_manager = FactoryOf<MyManager>();
template <class Record, class List, template <class> class Response,
          template <class> class Text>
AdapterFactories ValueClasses() {
  return {.service_call_record = FactoryOf<Record>(),
          .service_call_list = FactoryOf<List>(),
          .create_call_response = FactoryOf<Response<CreateCallResponse>>(),
          .update_call_response = FactoryOf<Response<UpdateCallResponse>>(),
          .call_text = FactoryOf<Text<CallText>>(),
          .solution_text = FactoryOf<Text<SolutionText>>()};
}

}  // namespace quillet::adapter
