#include "quillet/object.h"

#include <cstring>

#include "quillet/error.h"
#include "quillet/variant.h"

namespace quillet {
namespace {
char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + 32 : c; }
}  // namespace

size_t HashIgnoringCase(StringView s) noexcept {
  size_t h = 14695981039346656037ull;
  for (char16_t c : s) h = (h ^ Fold(c)) * 1099511628211ull;
  return h;
}

bool EqualsIgnoringCase(StringView a, StringView b) noexcept {
  if (a.size() != b.size()) return false;
  // Callers mostly spell names as declared: compare bytes before folding.
  if (std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0)
    return true;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

DispatchTable::DispatchTable(std::initializer_list<Member> members)
    : members_(members) {
  if (members_.size() > kScanUpTo)
    for (size_t i = 0; i < members_.size(); ++i)
      by_name_.emplace(members_[i].name, i);
}

const Member* DispatchTable::FindByName(StringView name) const noexcept {
  if (members_.size() <= kScanUpTo) {
    // A few members: comparing lengths first rules most of them out at once.
    for (const Member& m : members_)
      if (m.name.size() == name.size() && EqualsIgnoringCase(m.name, name))
        return &m;
    return nullptr;
  }
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : &members_[it->second];
}

const Member* DispatchTable::FindById(DispId id) const noexcept {
  for (const Member& m : members_)
    if (m.id == id) return &m;
  return nullptr;
}

DispId Object::IdOfName(StringView name) const {
  const DispatchTable* table = Dispatch();
  const Member* member = table ? table->FindByName(name) : nullptr;
  if (!member) RaiseRuntime(errors::kNotSupported);
  return member->id;
}

Variant Object::Invoke(DispId id, InvokeKind kind, Args args) {
  const DispatchTable* table = Dispatch();
  const Member* member = table ? table->FindById(id) : nullptr;
  if (!member) RaiseRuntime(errors::kNotSupported);
  return member->thunk(*this, kind, args);
}

Variant CallByName(Object* target, StringView name, InvokeKind kind,
                   Args args) {
  if (!target) RaiseRuntime(errors::kObjectNotSet);
  return target->Invoke(target->IdOfName(name), kind, args);
}

Variant GetProperty(Object* target, StringView name) {
  return CallByName(target, name, InvokeKind::PropertyGet, {});
}

void PutProperty(Object* target, StringView name, Variant value) {
  Variant* refs[] = {&value};
  CallByName(target, name, InvokeKind::PropertyPut, Args(refs, 1));
}

void RequireArgCount(Args args, size_t count) {
  if (args.size() != count) RaiseRuntime(errors::kWrongArgCount);
}

}  // namespace quillet
