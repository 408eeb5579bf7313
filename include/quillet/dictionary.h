// Dictionary: the Scripting runtime's keyed collection
// ("Scripting.Dictionary").
//
// Keys are Variants compared exactly: texts case-sensitively, numbers by
// value whatever their type (1 as Integer and 1 as Long are one key, the text
// "1" another), objects by identity. Entries keep insertion order.
//
// As on the platform, reading an absent key answers Empty AND adds the key
// with an Empty value: a caller's dictionary visibly gains every key that was
// read from it. Use Exists() to test without adding.
//
// A Dictionary is a runtime object: it is passed by reference, so a callee's
// reads and writes are seen by its caller. Not thread-safe.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "quillet/variant.h"

namespace quillet {

class Dictionary : public Object {
 public:
  static constexpr StringView kClassName = u"Scripting.Dictionary";

  // Raises 457 when the key is present already.
  void Add(Variant key, Variant item);
  // Answers the item; an absent key is added with an Empty item first.
  const Variant& Item(const Variant& key);
  // The same for a text key, without building a Variant unless it is added.
  const Variant& Item(StringView key);
  const Variant& Item(const char16_t* key) { return Item(StringView(key)); }
  // Sets the item, adding the key when it is absent.
  void SetItem(const Variant& key, Variant item);
  bool Exists(const Variant& key) const;
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  // Raises 32811 when the key is absent.
  void Remove(const Variant& key);
  void RemoveAll();

  // In insertion order.
  const std::vector<std::pair<Variant, Variant>>& entries() const {
    return entries_;
  }
  // One-dimensional arrays from 0, as the Keys and Items methods answer.
  Variant Keys() const;
  Variant Items() const;

  StringView ClassName() const override { return kClassName; }

 protected:
  const DispatchTable* Dispatch() const override;

 private:
  // A key as the index compares it, viewed in place.
  struct KeyView {
    uint8_t kind;  // 0 empty, 1 null, 2 number, 3 text, 4 object
    double number = 0;
    StringView text;
    const void* object = nullptr;
    friend bool operator==(const KeyView&, const KeyView&) = default;
  };
  static KeyView MakeKeyView(const Variant& key);
  static size_t Hash(const KeyView& key) noexcept;
  static bool Matches(const Variant& stored, const KeyView& key);
  static constexpr size_t kInitialCapacity = 12;
  static constexpr size_t kSearchInOrderUpTo = 8;
  std::optional<size_t> Find(const Variant& key) const;
  std::optional<size_t> Find(const KeyView& key, size_t hash) const;
  void Rehash(size_t slots);

  std::vector<std::pair<Variant, Variant>> entries_;
  std::vector<size_t> hashes_;  // of each entry's key
  // Open addressing: entry index + 1, 0 for a free slot; a power of two
  // at least twice the entry count. One allocation, however many keys;
  // none while the dictionary is small enough to search in order.
  std::vector<uint32_t> slots_;
};

}  // namespace quillet
