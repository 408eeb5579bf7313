#include "quillet/operations/digest.h"

#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

namespace quillet::operations {

using Json = nlohmann::ordered_json;

std::string ContentDigest(const std::string& text) {
  char hex[17];
  std::snprintf(
      hex, sizeof hex, "%016llx",
      static_cast<unsigned long long>(XXH3_64bits(text.data(), text.size())));
  return hex;
}

namespace {

void Feed(XXH3_state_t* state, const Json& value);

// Feeds an object's members in the order of their names.
void FeedMembers(XXH3_state_t* state, Members members) {
  char tag = static_cast<char>(Json::value_t::object);
  XXH3_128bits_update(state, &tag, 1);
  std::sort(members.begin(), members.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  uint64_t size = members.size();
  XXH3_128bits_update(state, &size, sizeof size);
  for (const auto& [name, member] : members) {
    size = name.size();
    XXH3_128bits_update(state, &size, sizeof size);
    XXH3_128bits_update(state, name.data(), name.size());
    Feed(state, *member);
  }
}

// Feeds `value` to `state` as a tag, then lengths before contents, so that
// no two different values feed the same bytes.
void Feed(XXH3_state_t* state, const Json& value) {
  auto add = [&](const void* data, size_t size) {
    XXH3_128bits_update(state, data, size);
  };
  auto add_text = [&](const std::string& text) {
    uint64_t size = text.size();
    add(&size, sizeof size);
    add(text.data(), text.size());
  };
  if (value.is_object()) {
    Members members;
    for (auto it = value.begin(); it != value.end(); ++it)
      members.emplace_back(it.key(), &it.value());
    FeedMembers(state, std::move(members));
    return;
  }
  char tag = static_cast<char>(value.type());
  add(&tag, 1);
  switch (value.type()) {
    case Json::value_t::array: {
      uint64_t size = value.size();
      add(&size, sizeof size);
      for (const Json& element : value) Feed(state, element);
      break;
    }
    case Json::value_t::string:
      add_text(value.get_ref<const std::string&>());
      break;
    case Json::value_t::boolean:
      tag = value.get<bool>() ? 1 : 0;
      add(&tag, 1);
      break;
    case Json::value_t::number_integer: {
      int64_t n = value.get<int64_t>();
      add(&n, sizeof n);
      break;
    }
    case Json::value_t::number_unsigned: {
      uint64_t n = value.get<uint64_t>();
      add(&n, sizeof n);
      break;
    }
    case Json::value_t::number_float: {
      double n = value.get<double>();
      add(&n, sizeof n);
      break;
    }
    default:
      break;  // null, discarded, binary: the tag says it all
  }
}

}  // namespace

std::string MembersDigest(Members members) {
  std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state(
      XXH3_createState(), &XXH3_freeState);
  if (!state) throw std::bad_alloc();
  XXH3_128bits_reset(state.get());
  FeedMembers(state.get(), std::move(members));
  XXH128_hash_t h = XXH3_128bits_digest(state.get());
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx",
                static_cast<unsigned long long>(h.high64),
                static_cast<unsigned long long>(h.low64));
  return hex;
}

}  // namespace quillet::operations
