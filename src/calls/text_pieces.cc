#include "calls/text_pieces.h"

namespace quillet {
namespace {
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
}  // namespace

std::vector<StringView> TextPieces(StringView text) {
  std::vector<StringView> pieces;
  pieces.reserve(text.size() / kTextPieceLength + 1);
  size_t start = 0;
  while (start < text.size()) {
    size_t length = std::min(kTextPieceLength, text.size() - start);
    size_t end = start + length;
    if (end < text.size() && IsHighSurrogate(text[end - 1]) &&
        IsLowSurrogate(text[end]))
      --length;
    pieces.push_back(text.substr(start, length));
    start += length;
  }
  return pieces;
}

}  // namespace quillet
