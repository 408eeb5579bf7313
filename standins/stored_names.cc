// The record's property names as stored (UTF-8), both ways, and the order
// they sort in, made once from the record's table: every call is stored,
// read and answered through them.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "quillet/standins/store_types.h"
#include "quillet/text.h"

namespace quillet::standins {
namespace {

class StoredNames {
 public:
  static const StoredNames& Get() {
    static const StoredNames names;
    return names;
  }
  const std::string& Of(CallProperty p) const {
    return utf8_.at(static_cast<size_t>(p));
  }
  size_t Rank(CallProperty p) const { return rank_[static_cast<size_t>(p)]; }
  std::optional<CallProperty> Find(std::string_view name) const {
    auto it = by_name_.find(std::string(name));
    if (it == by_name_.end()) return std::nullopt;
    return it->second;
  }

 private:
  StoredNames() {
    size_t count = 0;
    for (const adapter::CallPropertyInfo& info : adapter::CallProperties())
      count = std::max(count, static_cast<size_t>(info.property) + 1);
    utf8_.resize(count);
    rank_.resize(count);
    std::vector<CallProperty> sorted;
    for (const adapter::CallPropertyInfo& info : adapter::CallProperties()) {
      utf8_[static_cast<size_t>(info.property)] = ToUtf8(info.name);
      by_name_.emplace(ToUtf8(info.name), info.property);
      sorted.push_back(info.property);
    }
    std::sort(sorted.begin(), sorted.end(),
              [&](CallProperty a, CallProperty b) { return Of(a) < Of(b); });
    for (size_t i = 0; i < sorted.size(); ++i)
      rank_[static_cast<size_t>(sorted[i])] = i;
  }
  std::vector<std::string> utf8_;
  std::vector<size_t> rank_;
  std::unordered_map<std::string, CallProperty> by_name_;
};

}  // namespace

const std::string& StoredName(CallProperty property) {
  return StoredNames::Get().Of(property);
}

std::optional<CallProperty> StoredPropertyNamed(std::string_view name) {
  return StoredNames::Get().Find(name);
}

bool InStoredOrder::operator()(CallProperty a, CallProperty b) const {
  const StoredNames& names = StoredNames::Get();
  return names.Rank(a) < names.Rank(b);
}

}  // namespace quillet::standins
