// Runtime objects and late binding.
//
// An Object can be called two ways that reach the same code: through its C++
// interface, and late bound by name or by dispatch id. A late-bound call
// passes every argument by reference (a pointer to the caller's Variant), so
// whatever the callee writes into an argument is in the caller's variable
// when the call returns, as on the platform. The calls by name
// (CallByName, CallMethod, GetProperty, PutProperty) are declared in
// variant.h, beside the values they pass.
//
// A class publishes its members in a static DispatchTable (names looked up
// case-insensitively, as the platform does). Unknown names fail with runtime
// error 438, unknown ids with 438 too, a wrong argument count with 450.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quillet/ref.h"

namespace quillet {

using String = std::u16string;
using StringView = std::u16string_view;

class Variant;

// Names of members, classes and keywords compare as the platform compares
// them: ignoring the case of ASCII letters.
bool EqualsIgnoringCase(StringView a, StringView b) noexcept;
size_t HashIgnoringCase(StringView s) noexcept;
struct IgnoringCaseHash {
  using is_transparent = void;
  size_t operator()(StringView s) const noexcept { return HashIgnoringCase(s); }
};
struct IgnoringCaseEqual {
  using is_transparent = void;
  bool operator()(StringView a, StringView b) const noexcept {
    return EqualsIgnoringCase(a, b);
  }
};

using DispId = int32_t;
inline constexpr DispId kDispIdValue = 0;  // the default member

enum class InvokeKind : uint8_t { Method, PropertyGet, PropertyPut };

// Arguments of a late-bound call, in the order written. Each points at the
// caller's variable; for a property put the new value comes last.
using Args = std::span<Variant* const>;

class Object;

// One member of a class's late-bound surface.
struct Member {
  using Thunk = Variant (*)(Object& self, InvokeKind kind, Args args);
  StringView name;
  DispId id;
  Thunk thunk;
};

// A class's members by name and by id. Built once per class (a function-local
// static) and read-only afterwards, so lookups take no lock.
class DispatchTable {
 public:
  DispatchTable(std::initializer_list<Member> members);
  const Member* FindByName(StringView name) const noexcept;
  const Member* FindById(DispId id) const noexcept;
  const std::vector<Member>& members() const { return members_; }

 private:
  static constexpr size_t kScanUpTo = 12;
  std::vector<Member> members_;
  // Only for classes with more members than are quicker to scan.
  std::unordered_map<StringView, size_t, IgnoringCaseHash, IgnoringCaseEqual>
      by_name_;
};

class Object : public RefCounted {
 public:
  // The dispatch id of a member name; raises 438 when there is none.
  virtual DispId IdOfName(StringView name) const;
  // Calls a member by id; raises 438 for an unknown id, 450 for a wrong
  // argument count, and whatever the member raises.
  virtual Variant Invoke(DispId id, InvokeKind kind, Args args);
  // The class name the object was created under, for messages and metadata.
  virtual StringView ClassName() const { return u"Object"; }

 protected:
  // The late-bound surface; classes without one answer nullptr.
  virtual const DispatchTable* Dispatch() const { return nullptr; }
};

}  // namespace quillet
