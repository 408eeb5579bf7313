#include "quillet/safe_array.h"

#include "quillet/convert.h"
#include "quillet/error.h"

namespace quillet {
namespace {
// Large enough for any table a caller sends; beyond it allocation is refused
// with "Out of memory" rather than attempted.
constexpr uint64_t kMaxElements = uint64_t{1} << 28;
}  // namespace

SafeArray::SafeArray(ElementType type, std::vector<Bound> bounds)
    : type_(type), bounds_(std::move(bounds)) {
  if (bounds_.empty()) RaiseRuntime(errors::kSubscriptOutOfRange);
  uint64_t total = 1;
  for (const Bound& b : bounds_) {
    if (b.count < 0) RaiseRuntime(errors::kSubscriptOutOfRange);
    total *= static_cast<uint64_t>(b.count);
    if (total > kMaxElements) RaiseRuntime(errors::kOutOfMemory);
  }
  elements_.assign(static_cast<size_t>(total), type_ == ElementType::String
                                                   ? Variant(String())
                                                   : Variant());
}

int32_t SafeArray::LowerBound(int32_t dimension) const {
  if (dimension < 1 || dimension > Dimensions())
    RaiseRuntime(errors::kSubscriptOutOfRange);
  return bounds_[static_cast<size_t>(dimension - 1)].lower;
}

int32_t SafeArray::UpperBound(int32_t dimension) const {
  if (dimension < 1 || dimension > Dimensions())
    RaiseRuntime(errors::kSubscriptOutOfRange);
  const Bound& b = bounds_[static_cast<size_t>(dimension - 1)];
  return static_cast<int32_t>(int64_t{b.lower} + b.count - 1);
}

size_t SafeArray::Offset(std::span<const int32_t> indices) const {
  if (indices.size() != bounds_.size())
    RaiseRuntime(errors::kSubscriptOutOfRange);
  size_t offset = 0;
  size_t stride = 1;
  for (size_t d = 0; d < bounds_.size(); ++d) {
    int64_t i = int64_t{indices[d]} - bounds_[d].lower;
    if (i < 0 || i >= bounds_[d].count)
      RaiseRuntime(errors::kSubscriptOutOfRange);
    offset += static_cast<size_t>(i) * stride;
    stride *= static_cast<size_t>(bounds_[d].count);
  }
  return offset;
}

const Variant& SafeArray::At(std::span<const int32_t> indices) const {
  return elements_[Offset(indices)];
}

void SafeArray::Set(std::span<const int32_t> indices, Variant value) {
  size_t offset = Offset(indices);
  if (type_ == ElementType::String) value = ToString(value);
  elements_[offset] = std::move(value);
}

bool operator==(const SafeArray& a, const SafeArray& b) {
  if (a.type_ != b.type_ || a.bounds_.size() != b.bounds_.size()) return false;
  for (size_t d = 0; d < a.bounds_.size(); ++d) {
    if (a.bounds_[d].lower != b.bounds_[d].lower ||
        a.bounds_[d].count != b.bounds_[d].count)
      return false;
  }
  return a.elements_ == b.elements_;
}

}  // namespace quillet
