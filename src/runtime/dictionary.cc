#include "quillet/dictionary.h"

#include <functional>

#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"

namespace quillet {

size_t Dictionary::KeyHash::operator()(const KeyView& k) const noexcept {
  switch (k.kind) {
    case 2: return std::hash<double>()(k.number);
    case 3: return std::hash<StringView>()(k.text);
    case 4: return std::hash<const void*>()(k.object);
    default: return k.kind;
  }
}

Dictionary::KeyView Dictionary::MakeKeyView(const Variant& key) {
  switch (key.type()) {
    case VarType::Empty: return {.kind = 0};
    case VarType::Null: return {.kind = 1};
    case VarType::Boolean:
    case VarType::Byte:
    case VarType::Integer:
    case VarType::Long:
    case VarType::Double: {
      double n = ToDouble(key);
      return {.kind = 2, .number = n == 0 ? 0.0 : n};  // one key for -0 and 0
    }
    case VarType::String: return {.kind = 3, .text = key.AsString()};
    case VarType::Object: return {.kind = 4, .object = key.AsObject().Get()};
    case VarType::Array: break;
  }
  RaiseRuntime(errors::kTypeMismatch);
}

std::optional<size_t> Dictionary::Find(const Variant& key) const {
  auto it = index_.find(MakeKeyView(key));
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

void Dictionary::Add(const Variant& key, Variant item) {
  KeyView view = MakeKeyView(key);
  if (index_.find(view) != index_.end()) RaiseRuntime(errors::kDuplicateKey);
  entries_.emplace_back(key, std::move(item));
  try {
    index_.emplace(Key{view.kind, view.number, String(view.text), view.object},
                   entries_.size() - 1);
  } catch (...) {
    entries_.pop_back();
    throw;
  }
}

const Variant& Dictionary::Item(const Variant& key) {
  if (std::optional<size_t> at = Find(key)) return entries_[*at].second;
  Add(key, Variant());
  return entries_.back().second;
}

void Dictionary::SetItem(const Variant& key, Variant item) {
  if (std::optional<size_t> at = Find(key)) {
    entries_[*at].second = std::move(item);
  } else {
    Add(key, std::move(item));
  }
}

bool Dictionary::Exists(const Variant& key) const {
  return Find(key).has_value();
}

void Dictionary::Remove(const Variant& key) {
  std::optional<size_t> at = Find(key);
  if (!at) RaiseRuntime(errors::kElementNotFound);
  entries_.erase(entries_.begin() + static_cast<ptrdiff_t>(*at));
  index_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) {
    KeyView view = MakeKeyView(entries_[i].first);
    index_.emplace(Key{view.kind, view.number, String(view.text), view.object},
                   i);
  }
}

void Dictionary::RemoveAll() {
  entries_.clear();
  index_.clear();
}

namespace {
Variant ColumnOf(const std::vector<std::pair<Variant, Variant>>& entries,
                 bool keys) {
  SafeArray array(ElementType::Variant,
                  {{0, static_cast<int32_t>(entries.size())}});
  for (size_t i = 0; i < entries.size(); ++i)
    array.Set({static_cast<int32_t>(i)},
              keys ? entries[i].first : entries[i].second);
  return array;
}

Dictionary& Self(Object& o) { return static_cast<Dictionary&>(o); }
}  // namespace

Variant Dictionary::Keys() const { return ColumnOf(entries_, true); }
Variant Dictionary::Items() const { return ColumnOf(entries_, false); }

const DispatchTable* Dictionary::Dispatch() const {
  static const DispatchTable table{
      {u"Item", kDispIdValue,
       [](Object& o, InvokeKind kind, Args a) -> Variant {
         if (kind == InvokeKind::PropertyPut) {
           RequireArgCount(a, 2);
           Self(o).SetItem(*a[0], *a[1]);
           return {};
         }
         RequireArgCount(a, 1);
         return Self(o).Item(*a[0]);
       }},
      {u"Add", 1,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 2);
         Self(o).Add(*a[0], *a[1]);
         return {};
       }},
      {u"Exists", 2,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         return Self(o).Exists(*a[0]);
       }},
      {u"Count", 3,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         return Self(o).Count();
       }},
      {u"Remove", 4,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 1);
         Self(o).Remove(*a[0]);
         return {};
       }},
      {u"RemoveAll", 5,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         Self(o).RemoveAll();
         return {};
       }},
      {u"Keys", 6,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         return Self(o).Keys();
       }},
      {u"Items", 7,
       [](Object& o, InvokeKind, Args a) -> Variant {
         RequireArgCount(a, 0);
         return Self(o).Items();
       }},
  };
  return &table;
}

}  // namespace quillet
