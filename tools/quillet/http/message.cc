#include "http/message.h"

#include <algorithm>
#include <cctype>

#include "quillet/operations/usage_error.h"

namespace quillet::cli::http {
namespace {

const std::string* Find(const Fields& fields, std::string_view name) {
  for (const auto& [key, value] : fields)
    if (EqualsIgnoringCase(key, name)) return &value;
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const std::string* Request::Header(std::string_view name) const {
  return Find(headers, name);
}

const std::string* Request::Param(std::string_view name) const {
  const std::string* found = nullptr;
  for (const auto& [key, value] : query) {
    if (key != name) continue;
    if (found)
      throw operations::UsageError("?" + std::string(name) +
                                   " is given more than once");
    found = &value;
  }
  return found;
}

std::optional<std::string> PercentDecode(std::string_view text,
                                         bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return {};
      int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0) return {};
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(plus_is_space && c == '+' ? ' ' : c);
    }
  }
  return out;
}

bool ParseTarget(std::string_view target, Request& request) {
  size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  if (path.empty() || path[0] != '/') return false;
  request.path = std::string(path);
  request.segments.clear();
  for (size_t start = 1; start <= path.size();) {
    size_t end = std::min(path.find('/', start), path.size());
    std::optional<std::string> segment =
        PercentDecode(path.substr(start, end - start), false);
    if (!segment) return false;
    if (std::any_of(segment->begin(), segment->end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        }))
      return false;
    if (!segment->empty() || end < path.size())
      request.segments.push_back(std::move(*segment));
    start = end + 1;
  }
  request.query.clear();
  if (question == std::string_view::npos) return true;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? "" : query.substr(amp + 1);
    if (pair.empty()) continue;
    size_t equals = pair.find('=');
    std::optional<std::string> name =
        PercentDecode(pair.substr(0, equals), true);
    std::optional<std::string> value = PercentDecode(
        equals == std::string_view::npos ? "" : pair.substr(equals + 1), true);
    if (!name || !value) return false;
    request.query.emplace_back(std::move(*name), std::move(*value));
  }
  return true;
}

std::string LoggedPath(std::string_view target) {
  target = target.substr(0, target.find('?'));
  size_t scheme = target.find("://");
  if (scheme == std::string_view::npos || target[0] == '/')
    return std::string(target);
  size_t authority = scheme + 3;
  size_t at = target.substr(0, target.find('/', authority)).rfind('@');
  if (at == std::string_view::npos || at < authority)
    return std::string(target);
  return std::string(target.substr(0, authority)) +
         std::string(target.substr(at + 1));
}

bool ReadRequestLine(std::string_view bytes, Request& request) {
  size_t end = bytes.find("\r\n");
  if (end == std::string_view::npos) return false;
  std::string_view line = bytes.substr(0, end);
  size_t first = line.find(' ');
  size_t last = line.rfind(' ');
  if (first == 0 || first == std::string_view::npos || last == first ||
      line.substr(last + 1).rfind("HTTP/", 0) != 0)
    return false;
  std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, last - first - 1);
  auto printable = [](std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
      return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    });
  };
  if (!printable(method) || !printable(target)) return false;
  request.method = std::string(method);
  request.path = LoggedPath(target);
  return true;
}

}  // namespace quillet::cli::http
