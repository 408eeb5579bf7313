// How a record's properties turn into what the back end stores and back:
// by the record property names, in UTF-8, each value as its type says.
#include <optional>
#include <unordered_map>

#include "embedded_values.h"
#include "quillet/convert.h"

namespace quillet::standins::embedded {
namespace {

// The record's property names as stored (UTF-8), both ways, made once:
// every call is stored and answered through them.
class StoredNames {
 public:
  static const StoredNames& Get() {
    static const StoredNames names;
    return names;
  }
  const std::string& Of(CallProperty p) const {
    return utf8_[static_cast<size_t>(p)];
  }
  std::optional<CallProperty> Find(const std::string& name) const {
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return std::nullopt;
    return it->second;
  }

 private:
  StoredNames() {
    for (const adapter::CallPropertyInfo& info : adapter::CallProperties()) {
      size_t i = static_cast<size_t>(info.property);
      if (utf8_.size() <= i) utf8_.resize(i + 1);
      utf8_[i] = ToUtf8(info.name);
      by_name_.emplace(utf8_[i], info.property);
    }
  }
  std::vector<std::string> utf8_;
  std::unordered_map<std::string, CallProperty> by_name_;
};

}  // namespace

CallData Record::Submitted() const {
  CallData call;
  const StoredNames& names = StoredNames::Get();
  for (const auto& [p, value] : values_) {
    const adapter::CallPropertyInfo& info = adapter::Describe(p);
    const std::string& name = names.Of(p);
    if (info.type == VarType::Object) {
      Object* o = value.IsObject() ? value.AsObject().Get() : nullptr;
      if (auto* t = dynamic_cast<CallTextImpl*>(o)) {
        call.text = t->Stored();
      } else if (auto* s = dynamic_cast<SolutionTextImpl*>(o)) {
        call.solution_text = s->Stored();
      } else if (o) {
        Refuse(name + " holds a text object of another adapter");
      }
    } else if (info.type == VarType::String) {
      call.properties[name] = {VarType::String, ToUtf8(ToString(value)), 0};
    } else if (info.type == VarType::Boolean) {
      call.properties[name] = {VarType::Boolean, "", ToBoolean(value) ? 1 : 0};
    } else {
      call.properties[name] = {info.type, "", ToLong(value)};
    }
  }
  return call;
}

namespace {
// The text objects whose pieces Submitted's call holds: as there, the last
// of each kind in property order.
template <class TextImpl>
TextImpl* LastText(const std::map<CallProperty, Variant>& values) {
  TextImpl* found = nullptr;
  for (const auto& [p, value] : values)
    if (adapter::Describe(p).type == VarType::Object && value.IsObject())
      if (auto* t = dynamic_cast<TextImpl*>(value.AsObject().Get())) found = t;
  return found;
}
}  // namespace

void Record::LendPieces(CallData& call) {
  if (auto* t = LastText<CallTextImpl>(values_); t && call.text)
    t->LendPieces(*call.text);
  if (auto* s = LastText<SolutionTextImpl>(values_); s && call.solution_text)
    s->LendPieces(*call.solution_text);
}

void Record::TakeBackPieces(CallData& call) {
  if (auto* t = LastText<CallTextImpl>(values_); t && call.text)
    t->TakeBackPieces(*call.text);
  if (auto* s = LastText<SolutionTextImpl>(values_); s && call.solution_text)
    s->TakeBackPieces(*call.solution_text);
}

Ref<Record> Record::FromStored(const StoredCall& call) {
  Ref<Record> r = MakeRef<Record>();
  const StoredNames& names = StoredNames::Get();
  for (const auto& [name, v] : call.properties) {
    std::optional<CallProperty> p = names.Find(name);
    if (!p) continue;
    switch (v.type) {
      case VarType::String:
        r->values_[*p] = FromUtf8(v.text);
        break;
      case VarType::Byte:
        r->values_[*p] = Variant::Byte(static_cast<uint8_t>(v.number));
        break;
      case VarType::Boolean:
        r->values_[*p] = v.number != 0;
        break;
      default:
        r->values_[*p] = Variant::Long(static_cast<int32_t>(v.number));
    }
  }
  return r;
}

}  // namespace quillet::standins::embedded
