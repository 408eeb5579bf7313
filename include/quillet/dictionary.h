// Dictionary: the Scripting runtime's keyed collection ("Scripting.Dictionary").
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
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillet/variant.h"

namespace quillet {

class Dictionary : public Object {
 public:
  static constexpr StringView kClassName = u"Scripting.Dictionary";

  // Raises 457 when the key is present already.
  void Add(const Variant& key, Variant item);
  // Answers the item; an absent key is added with an Empty item first.
  const Variant& Item(const Variant& key);
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
  // A key as the index compares it; lookups use a view, with no copy.
  struct KeyView {
    uint8_t kind;  // 0 empty, 1 null, 2 number, 3 text, 4 object
    double number = 0;
    StringView text;
    const void* object = nullptr;
    friend bool operator==(const KeyView&, const KeyView&) = default;
  };
  struct Key {
    uint8_t kind;
    double number;
    String text;
    const void* object;
    KeyView View() const { return {kind, number, text, object}; }
  };
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(const KeyView& k) const noexcept;
    size_t operator()(const Key& k) const noexcept { return (*this)(k.View()); }
  };
  struct KeyEqual {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return ViewOf(a) == ViewOf(b);
    }
    static KeyView ViewOf(const KeyView& k) { return k; }
    static KeyView ViewOf(const Key& k) { return k.View(); }
  };
  // The view refers into `key`, which must outlive it.
  static KeyView MakeKeyView(const Variant& key);
  std::optional<size_t> Find(const Variant& key) const;

  std::vector<std::pair<Variant, Variant>> entries_;
  std::unordered_map<Key, size_t, KeyHash, KeyEqual> index_;
};

}  // namespace quillet
