// Names for texts and requests by what they say, for telling a repeated
// request (or batch) from another one.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::operations {

// 16 hex digits (XXH3, 64 bits) that name a text by its content.
std::string ContentDigest(const std::string& text);

// 32 hex digits (XXH3, 128 bits) that name the JSON object of `members`
// (name, value; nothing is copied) by what it says: its types and values,
// objects' members in the order of their names. Spacing, escapes and member
// order give the same digest; anything else another one, in practice.
using Members =
    std::vector<std::pair<std::string_view, const nlohmann::ordered_json*>>;
std::string MembersDigest(Members members);

}  // namespace quillet::operations
