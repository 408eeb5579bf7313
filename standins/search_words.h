// The words of a search (CallQuery::words), cut alike for every engine:
// the engines' full-text indexes then fold letter case and accents.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/standins/store_types.h"

namespace quillet::standins {

// The searched properties of `properties`, one a line (SearchableText).
std::string SearchHead(const StoredProperties& properties);

// At most this many words of a search are looked for.
inline constexpr size_t kMostSearchWords = 16;

// The words of `search`: runs of ASCII letters and digits and of whole
// UTF-8 characters beyond ASCII, cut at every other byte (ASCII punctuation
// and spaces, bytes that are not UTF-8), the first kMostSearchWords. No
// word holds a character a full-text query language gives a meaning to.
std::vector<std::string> SearchWords(std::string_view search);

// The calls' texts a search reads, in this order, one a line: the
// description, the problem, the caller's name, the customer's name (the
// sold-to partner's), the call text, the solution text.
inline constexpr adapter::CallProperty kSearchedProperties[] = {
    adapter::CallProperty::CallDescription, adapter::CallProperty::Problem,
    adapter::CallProperty::CallerName};

// `text` as an index of words may hold it: whole UTF-8 characters kept,
// NUL and every byte that is not UTF-8 a space.
std::string SearchableText(std::string_view text);
// The pieces of a text joined, as SearchableText.
std::string SearchablePieces(const std::vector<std::string>& pieces);

}  // namespace quillet::standins
