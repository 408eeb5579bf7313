#include "calls/text_pieces.h"

namespace quillet {
namespace {
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
}  // namespace

size_t NextPieceLength(StringView text, size_t start) {
  size_t length = std::min(kTextPieceLength, text.size() - start);
  size_t end = start + length;
  if (end < text.size() && IsHighSurrogate(text[end - 1]) &&
      IsLowSurrogate(text[end]))
    --length;
  return length;
}

std::vector<StringView> TextPieces(StringView text) {
  std::vector<StringView> pieces;
  ForEachTextPiece(text, [&](StringView piece) { pieces.push_back(piece); });
  return pieces;
}

}  // namespace quillet
