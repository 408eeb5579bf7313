// Cutting a text into the pieces that a text object's AddLine takes.
#pragma once

#include <vector>

#include "quillet/variant.h"

namespace quillet {

inline constexpr size_t kTextPieceLength = 2048;

// The length of the piece that starts at `start` (< text.size()).
size_t NextPieceLength(StringView text, size_t start);

// Consecutive pieces of at most 2048 code units, covering the whole text in
// order; an empty text has no pieces. A piece never ends between the two
// halves of a surrogate pair: such a piece ends one code unit early, so a
// back end that converts each piece on its own never receives half a
// character.
std::vector<StringView> TextPieces(StringView text);

// The same pieces, handed one by one to `add_line`.
template <class AddLine>
void ForEachTextPiece(StringView text, AddLine&& add_line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t length = NextPieceLength(text, start);
    add_line(text.substr(start, length));
    start += length;
  }
}

// The pieces of `head` followed by `tail`, as if they were one text, without
// joining them: the pieces wholly inside `head` are views of it, so a long
// text is never copied whole.
template <class AddLine>
void ForEachTextPiece(StringView head, StringView tail, AddLine&& add_line) {
  size_t start = 0;
  // A piece that ends before head does is decided by head alone.
  while (head.size() - start > kTextPieceLength) {
    size_t length = NextPieceLength(head, start);
    add_line(head.substr(start, length));
    start += length;
  }
  String rest(head.substr(start));
  rest += tail;
  ForEachTextPiece(StringView(rest), add_line);
}

}  // namespace quillet
