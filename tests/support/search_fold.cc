#include "support/search_fold.h"

namespace quillet::testing {
namespace {

// Latin-1's letters from U+00C0 on, lower case without accents.
constexpr char32_t kLatin1[64] = {
    'a', 'a', 'a', 'a',  'a',  'a',  0xe6, 'c', 'e', 'e',  'e',  'e',  'i',
    'i', 'i', 'i', 0xf0, 'n',  'o',  'o',  'o', 'o', 'o',  0xd7, 0xf8, 'u',
    'u', 'u', 'u', 'y',  0xfe, 0xdf, 'a',  'a', 'a', 'a',  'a',  'a',  0xe6,
    'c', 'e', 'e', 'e',  'e',  'i',  'i',  'i', 'i', 0xf0, 'n',  'o',  'o',
    'o', 'o', 'o', 0xf7, 0xf8, 'u',  'u',  'u', 'u', 'y',  0xfe, 'y'};
// Latin Extended-A (U+0100 to U+017F), by pairs of capital and small.
constexpr char kLatinA[] =
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiiiiijjkkklllllll"
    "lllnnnnnnnnnoooooooorrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";

char32_t FoldedChar(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xc0 && c <= 0xff) return kLatin1[c - 0xc0];
  if (c >= 0x100 && c <= 0x17f)
    return static_cast<char32_t>(kLatinA[c - 0x100]);
  if (c >= 0x391 && c <= 0x3a9) c += 32;  // Greek capitals
  switch (c) {                            // Greek with tonos
    case 0x386:
    case 0x3ac:
      return 0x3b1;
    case 0x388:
    case 0x3ad:
      return 0x3b5;
    case 0x389:
    case 0x3ae:
      return 0x3b7;
    case 0x38a:
    case 0x3af:
      return 0x3b9;
    case 0x38c:
    case 0x3cc:
      return 0x3bf;
    case 0x38e:
    case 0x3cd:
      return 0x3c5;
    case 0x38f:
    case 0x3ce:
      return 0x3c9;
    case 0x3c2:
      return 0x3c3;  // final sigma
    default:
      break;
  }
  if (c >= 0x410 && c <= 0x42f) return c + 32;  // Cyrillic capitals
  if (c >= 0x400 && c <= 0x40f) return c + 80;
  return c;
}

void Append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace

std::string Folded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    size_t len = b < 0x80    ? 1
                 : b >= 0xf0 ? 4
                 : b >= 0xe0 ? 3
                 : b >= 0xc0 ? 2
                             : 1;
    if (i + len > text.size()) len = 1;
    char32_t c = len == 1 ? b : b & (0x3f >> (len - 1));
    for (size_t k = 1; k < len; ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    i += len;
    if (c >= 0x300 && c <= 0x36f) continue;  // combining accents
    Append(out, FoldedChar(c));
  }
  return out;
}

bool HoldsWords(std::string_view text, const std::vector<std::string>& words) {
  // Words as SearchWords cuts them: runs of ASCII letters and digits and of
  // bytes beyond ASCII.
  std::vector<std::string> held(1);
  for (char c : Folded(text)) {
    bool word = static_cast<unsigned char>(c) >= 0x80 ||
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
    if (word)
      held.back() += c;
    else if (!held.back().empty())
      held.emplace_back();
  }
  for (const std::string& word : words) {
    std::string want = Folded(word);
    bool found = false;
    for (const std::string& h : held) found = found || h.rfind(want, 0) == 0;
    if (!found) return false;
  }
  return true;
}

}  // namespace quillet::testing
