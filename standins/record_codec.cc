// How a record's properties turn into what the back end stores and back:
// by property, texts in UTF-8, each value as its type says.
#include "embedded_values.h"
#include "quillet/convert.h"

namespace quillet::standins::embedded {

CallData Record::Submitted() const {
  CallData call;
  for (const auto& [p, value] : values_) {
    const adapter::CallPropertyInfo& info = adapter::Describe(p);
    if (info.type == VarType::Object) {
      Object* o = value.IsObject() ? value.AsObject().Get() : nullptr;
      if (auto* t = dynamic_cast<CallTextImpl*>(o)) {
        call.text = t->Stored();
      } else if (auto* s = dynamic_cast<SolutionTextImpl*>(o)) {
        call.solution_text = s->Stored();
      } else if (o) {
        Refuse(StoredName(p) + " holds a text object of another adapter");
      }
    } else if (info.type == VarType::String) {
      call.properties[p] = {VarType::String, ToUtf8(ToString(value)), 0};
    } else if (info.type == VarType::Boolean) {
      call.properties[p] = {VarType::Boolean, "", ToBoolean(value) ? 1 : 0};
    } else {
      call.properties[p] = {info.type, "", ToLong(value)};
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
  // A later release's properties (call.unknown_properties) have no place
  // on this release's record.
  for (const auto& [p, v] : call.properties) {
    switch (v.type) {
      case VarType::String:
        r->values_[p] = FromUtf8(v.text);
        break;
      case VarType::Byte:
        r->values_[p] = Variant::Byte(static_cast<uint8_t>(v.number));
        break;
      case VarType::Boolean:
        r->values_[p] = v.number != 0;
        break;
      default:
        r->values_[p] = Variant::Long(static_cast<int32_t>(v.number));
    }
  }
  return r;
}

}  // namespace quillet::standins::embedded
