// SafeArray: the platform's array of one or more dimensions.
//
// Each dimension has a lower bound and an element count; elements are
// Variants, or Strings for a string array (assigning to an element of a
// string array converts the value to text). Indexing outside a dimension, or
// with the wrong number of indices, raises runtime error 9 ("Subscript out of
// range"), as does asking for the bound of a dimension that does not exist.
//
//   SafeArray table(ElementType::String, {{0, rows}, {0, 2}});
//   table.Set({row, 1}, u"value");
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "quillet/variant.h"

namespace quillet {

enum class ElementType : uint8_t { Variant, String };

struct Bound {
  int32_t lower = 0;
  int32_t count = 0;
};

class SafeArray {
 public:
  // Raises 9 for no dimensions or a negative count, 7 when it would not fit.
  SafeArray(ElementType type, std::vector<Bound> bounds);

  ElementType element_type() const { return type_; }
  int32_t Dimensions() const { return static_cast<int32_t>(bounds_.size()); }
  // Dimensions are numbered from 1, as LBound and UBound number them.
  int32_t LowerBound(int32_t dimension) const;
  int32_t UpperBound(int32_t dimension) const;
  const std::vector<Bound>& bounds() const { return bounds_; }

  const Variant& At(std::span<const int32_t> indices) const;
  const Variant& At(std::initializer_list<int32_t> indices) const {
    return At(std::span<const int32_t>(indices.begin(), indices.size()));
  }
  void Set(std::span<const int32_t> indices, Variant value);
  void Set(std::initializer_list<int32_t> indices, Variant value) {
    Set(std::span<const int32_t>(indices.begin(), indices.size()),
        std::move(value));
  }

  // Elements in storage order: the first index varies fastest.
  const std::vector<Variant>& elements() const { return elements_; }

  friend bool operator==(const SafeArray& a, const SafeArray& b);

 private:
  size_t Offset(std::span<const int32_t> indices) const;
  ElementType type_;
  std::vector<Bound> bounds_;
  std::vector<Variant> elements_;
};

}  // namespace quillet
