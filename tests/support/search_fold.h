// The in-memory engine's search (memory_engine.h): a simple equivalent of
// the SQL engines' full-text indexes, for the scripts the tests use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillet::testing {

// `text` with letters in lower case and accents taken off, as the SQL
// engines' indexes fold them: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic; combining accents dropped; anything else as it is.
std::string Folded(std::string_view text);

// Whether every word of `words` (SearchWords) is a word of `text`, or the
// start of one, once both are folded; words of `text` are cut as
// SearchWords cuts them.
bool HoldsWords(std::string_view text, const std::vector<std::string>& words);

}  // namespace quillet::testing
