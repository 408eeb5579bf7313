#include "batch_file.h"

#include "json_variant.h"

namespace quillet::cli {
namespace {

// The offset of the first byte that is not part of valid UTF-8, or npos.
size_t InvalidUtf8At(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n = c >= 0xF5   ? 0
               : c >= 0xF0 ? 4
               : c >= 0xE0 ? 3
               : c >= 0xC2 ? 2
                           : 0;
    if (n == 0 || i + n > text.size()) return i;
    uint32_t code = n == 2 ? c & 0x1Fu : n == 3 ? c & 0x0Fu : c & 0x07u;
    for (size_t k = 1; k < n; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((n == 3 && code < 0x800) || (n == 4 && code < 0x10000) ||
        code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return i;
    i += n;
  }
  return std::string_view::npos;
}

}  // namespace

std::vector<BatchLine> ReadBatchLines(const std::string& text) {
  std::vector<BatchLine> lines;
  size_t start = 0, number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    BatchLine read{.number = number};
    std::string where = "line " + std::to_string(number);
    size_t bad = InvalidUtf8At(line);
    if (bad != std::string_view::npos) {
      read.unreadable = where + " is not UTF-8 text (byte " +
                        std::to_string(bad + 1) + "): " + Excerpt(line, 120);
    } else {
      try {
        read.request = ParseJson(std::string(line), where);
      } catch (const UsageError& e) {
        read.unreadable = e.what();
      }
    }
    if (!read.unreadable.empty())
      read.bytes = line.substr(0, line.find_last_not_of(" \t") + 1);
    lines.push_back(std::move(read));
  }
  return lines;
}

std::string BatchIdentity(const std::vector<BatchLine>& lines) {
  std::string said;
  for (const BatchLine& line : lines) {
    said += std::to_string(line.number);
    if (line.unreadable.empty()) {
      said += ':';
      said += line.request.dump(-1, ' ', false, Json::error_handler_t::replace);
    } else {
      said += '!';
      said += line.bytes;
    }
    said += '\n';
  }
  return ContentDigest(said);
}

}  // namespace quillet::cli
