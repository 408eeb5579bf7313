#include "batch_file.h"

#include "input.h"
#include "quillet/operations/digest.h"
#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using operations::ContentDigest;
using operations::Excerpt;
using operations::UsageError;
using operations::Utf8SequenceAt;
namespace {

// The offset of the first byte that is not part of valid UTF-8, or npos.
size_t InvalidUtf8At(std::string_view text) {
  uint32_t code = 0;
  for (size_t i = 0, n; i < text.size(); i += n)
    if ((n = Utf8SequenceAt(text, i, code)) == 0) return i;
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
        read.request = ParseJson(line, where);
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

std::string EarlierBatchIdentity(const std::string& file_text) {
  return ContentDigest(file_text);
}

}  // namespace quillet::cli
