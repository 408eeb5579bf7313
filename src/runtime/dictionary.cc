#include "quillet/dictionary.h"

#include <bit>
#include <cstring>
#include <functional>

#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/safe_array.h"

namespace quillet {
namespace {

uint64_t Mix(uint64_t h, uint64_t word) noexcept {
  h = (h ^ word) * UINT64_C(0x9E3779B97F4A7C15);
  return h ^ (h >> 32);
}

// Keys are mostly short names: four code units at a time, inline, costs a
// fraction of hashing them byte-wise.
uint64_t HashText(StringView text) noexcept {
  const char16_t* p = text.data();
  size_t n = text.size();
  uint64_t h = n * UINT64_C(0xC2B2AE3D27D4EB4F);
  for (; n >= 4; p += 4, n -= 4) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    h = Mix(h, word);
  }
  if (n == 0) return h;
  uint64_t tail = p[0];
  if (n > 1) tail |= uint64_t{p[1]} << 16;
  if (n > 2) tail |= uint64_t{p[2]} << 32;
  return Mix(h, tail);
}

bool SameText(StringView a, StringView b) noexcept {
  return a.size() == b.size() &&
         (a.empty() ||
          std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

}  // namespace

bool Dictionary::Matches(const Variant& stored, const KeyView& key) {
  if (key.kind == 3)
    return stored.IsString() && SameText(stored.AsString(), key.text);
  return MakeKeyView(stored) == key;
}

size_t Dictionary::Hash(const KeyView& k) noexcept {
  switch (k.kind) {
    case 2:
      return std::hash<double>()(k.number);
    case 3:
      return HashText(k.text);
    case 4:
      return std::hash<const void*>()(k.object);
    default:
      return k.kind;
  }
}

Dictionary::KeyView Dictionary::MakeKeyView(const Variant& key) {
  switch (key.type()) {
    case VarType::Empty:
      return {.kind = 0};
    case VarType::Null:
      return {.kind = 1};
    case VarType::Boolean:
    case VarType::Byte:
    case VarType::Integer:
    case VarType::Long:
    case VarType::Double: {
      double n = ToDouble(key);
      return {.kind = 2, .number = n == 0 ? 0.0 : n};  // one key for -0 and 0
    }
    case VarType::String:
      return {.kind = 3, .text = key.AsString()};
    case VarType::Object:
      return {.kind = 4, .object = key.AsObject().Get()};
    case VarType::Array:
      break;
  }
  RaiseRuntime(errors::kTypeMismatch);
}

std::optional<size_t> Dictionary::Find(const KeyView& key, size_t hash) const {
  if (slots_.empty()) {
    // Small dictionaries (results) are searched in order.
    for (size_t at = 0; at < hashes_.size(); ++at)
      if (hashes_[at] == hash && Matches(entries_[at].first, key)) return at;
    return std::nullopt;
  }
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    uint32_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    size_t at = slot - 1;
    if (hashes_[at] == hash && Matches(entries_[at].first, key)) return at;
  }
}

std::optional<size_t> Dictionary::Find(const Variant& key) const {
  KeyView view = MakeKeyView(key);
  return Find(view, Hash(view));
}

void Dictionary::Rehash(size_t slots) {
  // A power of two, so that masking spreads over every slot.
  std::vector<uint32_t> fresh(std::bit_ceil(slots), 0);
  size_t mask = slots - 1;
  for (size_t at = 0; at < hashes_.size(); ++at) {
    size_t i = hashes_[at] & mask;
    while (fresh[i] != 0) i = (i + 1) & mask;
    fresh[i] = static_cast<uint32_t>(at + 1);
  }
  slots_ = std::move(fresh);
}

void Dictionary::Add(Variant key, Variant item) {
  KeyView view = MakeKeyView(key);
  size_t hash = Hash(view);
  if (Find(view, hash)) RaiseRuntime(errors::kDuplicateKey);
  if (entries_.size() >= UINT32_MAX - 1) RaiseRuntime(errors::kOutOfMemory);
  if (entries_.empty()) {
    // Room for a dozen keys: a result fits, call details grow once.
    entries_.reserve(kInitialCapacity);
    hashes_.reserve(kInitialCapacity);
  }
  entries_.emplace_back(std::move(key),
                        std::move(item));  // `view` is stale now
  try {
    hashes_.push_back(hash);
  } catch (...) {
    entries_.pop_back();
    throw;
  }
  if (entries_.size() <= kSearchInOrderUpTo) return;
  if (slots_.size() < 2 * entries_.size()) {
    try {
      Rehash(slots_.empty() ? std::bit_ceil(4 * entries_.size())
                            : slots_.size() * 2);
    } catch (...) {
      entries_.pop_back();
      hashes_.pop_back();
      throw;
    }
  } else {
    size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<uint32_t>(entries_.size());
  }
}

const Variant& Dictionary::Item(const Variant& key) {
  if (std::optional<size_t> at = Find(key)) return entries_[*at].second;
  Add(key, Variant());
  return entries_.back().second;
}

const Variant& Dictionary::Item(StringView key) {
  KeyView view{.kind = 3, .text = key};
  if (std::optional<size_t> at = Find(view, Hash(view)))
    return entries_[*at].second;
  Add(Variant(key), Variant());
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
  hashes_.erase(hashes_.begin() + static_cast<ptrdiff_t>(*at));
  if (!slots_.empty()) Rehash(slots_.size());
}

void Dictionary::RemoveAll() {
  entries_.clear();
  hashes_.clear();
  slots_.clear();
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
