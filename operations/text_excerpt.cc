#include "quillet/operations/text_excerpt.h"

#include <cstdio>
#include <string>

namespace quillet::operations {

size_t Utf8SequenceAt(std::string_view text, size_t at, uint32_t& code) {
  auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) {
    code = c;
    return 1;
  }
  size_t n = c >= 0xF5 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || at + n > text.size()) return 0;
  code = n == 2 ? c & 0x1Fu : n == 3 ? c & 0x0Fu : c & 0x07u;
  for (size_t k = 1; k < n; ++k) {
    auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  if ((n == 3 && code < 0x800) || (n == 4 && code < 0x10000) ||
      code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return n;
}

namespace {

// Printable characters as they are, \n \r \t, a C1 control (U+0080 to
// U+009F) as \u00NN when `c1_as_code_point` (else its bytes as \xNN), and
// any other byte as \xNN; cut after about `max_bytes` with "...".
std::string Escaped(std::string_view text, size_t max_bytes,
                    bool c1_as_code_point) {
  std::string out;
  size_t i = 0;
  auto escape = [&](const char* format, unsigned value) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
  };
  while (i < text.size()) {
    if (out.size() >= max_bytes) {
      out += "...";
      break;
    }
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
      continue;
    }
    // A whole UTF-8 sequence of a character past the controls (C0, DEL,
    // C1: up to U+009F) is kept.
    uint32_t code = 0;
    size_t n = Utf8SequenceAt(text, i, code);
    if (n > 1 && code >= 0xA0) {
      out.append(text.substr(i, n));
      i += n;
    } else if (n > 1 && c1_as_code_point) {
      escape("\\u%04x", code);
      i += n;
    } else {
      escape("\\x%02x", c);
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string Excerpt(std::string_view text, size_t max_bytes) {
  return Escaped(text, max_bytes, false);
}

std::string Printable(std::string_view text) {
  return Escaped(text, std::string_view::npos, true);
}

}  // namespace quillet::operations
