// Cutting a text into the pieces that a text object's AddLine takes.
#pragma once

#include <vector>

#include "quillet/variant.h"

namespace quillet {

inline constexpr size_t kTextPieceLength = 2048;

// Consecutive pieces of at most 2048 code units, covering the whole text in
// order; an empty text has no pieces. A piece never ends between the two
// halves of a surrogate pair: such a piece ends one code unit early, so a
// back end that converts each piece on its own never receives half a
// character.
std::vector<StringView> TextPieces(StringView text);

}  // namespace quillet
