#include "search_words.h"

namespace quillet::standins {
namespace {

// The length of the whole UTF-8 character at `text[at]` beyond ASCII, or 0
// for a byte that starts none.
size_t WideCharAt(std::string_view text, size_t at) {
  auto c = static_cast<unsigned char>(text[at]);
  size_t len = c >= 0xc2 && c < 0xe0   ? 2
               : c >= 0xe0 && c < 0xf0 ? 3
               : c >= 0xf0 && c < 0xf5 ? 4
                                       : 0;
  if (len == 0 || at + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(text[at + k]) & 0xc0) != 0x80) return 0;
  return len;
}

bool AsciiWordChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z');
}

}  // namespace

std::vector<std::string> SearchWords(std::string_view search) {
  std::vector<std::string> words;
  std::string word;
  auto end_word = [&] {
    if (!word.empty() && words.size() < kMostSearchWords)
      words.push_back(std::move(word));
    word.clear();
  };
  for (size_t i = 0; i < search.size();) {
    if (AsciiWordChar(search[i])) {
      word += search[i++];
      continue;
    }
    size_t len = WideCharAt(search, i);
    if (len == 0) {
      end_word();
      ++i;
      continue;
    }
    word.append(search.substr(i, len));
    i += len;
  }
  end_word();
  return words;
}

std::string SearchableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c == 0 ? 0 : c < 0x80 ? 1 : WideCharAt(text, i);
    if (len == 0) {
      out += ' ';
      ++i;
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

std::string SearchablePieces(const std::vector<std::string>& pieces) {
  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  return SearchableText(joined);
}

std::string SearchHead(const StoredProperties& properties) {
  std::string head;
  for (adapter::CallProperty name : kSearchedProperties) {
    auto it = properties.find(name);
    if (it != properties.end() && it->second.type == VarType::String)
      head += SearchableText(it->second.text);
    head += '\n';
  }
  return head;
}

}  // namespace quillet::standins
