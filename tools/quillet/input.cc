#include "input.h"

#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "quillet/operations/text_excerpt.h"
#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using operations::Excerpt;
using operations::UsageError;
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view WithoutByteOrderMark(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    text.remove_prefix(kByteOrderMark.size());
  return text;
}

// Nesting deeper than any request needs is refused before parsing: the
// parsed document would be freed recursively.
constexpr int kMaxNesting = 64;

void CheckNesting(std::string_view text, const std::string& where) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting)
        throw UsageError(where + " is nested too deeply");
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// The parser's own message without its "[json.exception...] " prefix:
// "parse error at line 1, column 9: syntax error while parsing ...". It
// quotes what it read last, which may be any bytes: escaped.
std::string ParserMessage(const std::string& what) {
  size_t close = what.find("] ");
  return Excerpt(close == std::string::npos ? what : what.substr(close + 2),
                 300);
}

// Builds the document as the parser reads it. Members are appended in the
// order written without the ordered map's linear look-up (which makes large
// objects quadratic); a key given twice is found when its object closes,
// through one flat hash table of member positions (no allocation per key).
class Builder {
 public:
  using string_t = Json::string_t;
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using binary_t = Json::binary_t;

  Json root;
  std::string duplicate;  // the first key given twice in one object
  std::string error;      // the parser's message

  bool null() { return Add(Json(nullptr)); }
  bool boolean(bool v) { return Add(Json(v)); }
  bool number_integer(number_integer_t v) { return Add(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return Add(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return Add(Json(v)); }
  bool string(string_t& v) { return Add(Json(std::move(v))); }
  bool binary(binary_t&) { return false; }  // never in JSON text
  bool start_object(std::size_t) {
    open_.push_back(Add(Json::object()));
    return true;
  }
  bool key(string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() {
    if (duplicate.empty())
      FindDuplicate(open_.back()->get_ref<const Json::object_t&>());
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    open_.push_back(Add(Json::array()));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& e) {
    error = e.what();
    return false;
  }

 private:
  // A member's position and 32 bits of its key's hash; 8 bytes, so that
  // the table of a large object stays small. An object cannot have 2^32
  // members: its text would be over 16 GiB.
  struct Slot {
    uint32_t hash = 0;
    uint32_t position = kFree;
  };
  static constexpr uint32_t kFree = UINT32_MAX;

  void FindDuplicate(const Json::object_t& members) {
    size_t n = members.size();
    if (n < 2 || n >= kFree) return;
    size_t capacity = std::bit_ceil(n * 2);
    slots_.assign(capacity, Slot{});
    auto key_at = [&](size_t i) -> const std::string& {
      return members.begin()[static_cast<std::ptrdiff_t>(i)].first;
    };
    for (size_t i = 0; i < n; ++i) {
      const std::string& key = key_at(i);
      size_t hash = std::hash<std::string>{}(key);
      auto low = static_cast<uint32_t>(hash);
      for (size_t at = (hash ^ (hash >> 16 >> 16)) & (capacity - 1);;
           at = (at + 1) & (capacity - 1)) {
        Slot& slot = slots_[at];
        if (slot.position == kFree) {
          slot = {low, static_cast<uint32_t>(i)};
          break;
        }
        if (slot.hash == low && key_at(slot.position) == key) {
          duplicate = key;
          return;
        }
      }
    }
  }

  // Adds `v` where the parser is; answers where it went.
  Json* Add(Json&& v) {
    if (open_.empty()) {
      root = std::move(v);
      return &root;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      auto& array = parent.get_ref<Json::array_t&>();
      array.push_back(std::move(v));
      return &array.back();
    }
    // The ordered map is a vector of members: append to it directly.
    auto& members =
        static_cast<std::vector<std::pair<const std::string, Json>>&>(
            parent.get_ref<Json::object_t&>());
    members.emplace_back(std::move(key_), std::move(v));
    return &members.back().second;
  }
  // Only an open container's address is kept: nothing is added to it
  // while a child of it is open, so it does not move.
  std::vector<Json*> open_;
  std::vector<Slot> slots_;  // reused from object to object
  std::string key_;
};

}  // namespace

std::string ReadAll(std::istream& in) {
  // Input is held whole: a device that never ends (/dev/zero) or a file
  // past any sane request is refused before it takes the memory.
  constexpr size_t kMaxInput = size_t{1} << 30;
  std::string text;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    if (text.size() + static_cast<size_t>(in.gcount()) > kMaxInput)
      throw UsageError("the input is over 1 GiB");
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw UsageError("'" + path + "' is a folder, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read '" + path + "'");
  return ReadAll(in);
}

Json ParseJson(std::string_view text, const std::string& where) {
  std::string_view body = WithoutByteOrderMark(text);
  // The parser stops at a NUL as at the end of the text: what follows one
  // would go unread. JSON has no place for a raw NUL.
  if (size_t nul = body.find('\0'); nul != std::string_view::npos)
    throw UsageError(where + " is not valid JSON: a NUL byte at offset " +
                     std::to_string(nul));
  CheckNesting(body, where);
  Builder builder;
  bool parsed = false;
  try {
    parsed = Json::sax_parse(body, &builder);
  } catch (const Json::exception& e) {
    builder.error = e.what();
  }
  if (!parsed)
    throw UsageError(where +
                     " is not valid JSON: " + ParserMessage(builder.error));
  if (!builder.duplicate.empty())
    throw UsageError(where + " gives the key \"" +
                     Excerpt(builder.duplicate, 100) + "\" twice");
  return std::move(builder.root);
}

Json DetailsJson(const std::string& details,
                 const std::vector<std::string>& pairs, std::istream& in) {
  if (!details.empty() && !pairs.empty())
    throw UsageError(
        "give the details either with --details or as KEY=VALUE, not both");
  if (details == "-") return ParseJson(ReadAll(in), "standard input");
  if (!details.empty() && details[0] == '@')
    return ParseJson(ReadFile(details.substr(1)),
                     "'" + details.substr(1) + "'");
  if (!details.empty()) return ParseJson(details, "--details");
  Json object = Json::object();
  for (const std::string& pair : pairs) {
    size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0)
      throw UsageError("'" + pair + "' is not KEY=VALUE");
    std::string key = pair.substr(0, eq);
    if (object.contains(key))
      throw UsageError("the key \"" + key + "\" is given twice");
    object[key] = pair.substr(eq + 1);
  }
  return object;
}

Json CsvRows(const std::string& input) {
  // UTF-16 (as some spreadsheets save "Unicode text") is named as such:
  // read as bytes it would be a table of NULs.
  if (input.rfind("\xFF\xFE", 0) == 0 || input.rfind("\xFE\xFF", 0) == 0 ||
      (input.size() >= 2 && (input[0] == '\0' || input[1] == '\0')))
    throw UsageError(
        "the CSV file is UTF-16 text; save it as UTF-8 (CSV UTF-8) and try "
        "again");
  if (input.find('\0') != std::string::npos)
    throw UsageError("the CSV file holds a NUL byte: it is not a text file");
  std::string_view text = WithoutByteOrderMark(input);
  Json rows = Json::array();
  Json row = Json::array();
  std::string field;
  bool quoted = false, any = false, comma = false, other_separator = false;
  auto end_row = [&] {
    if (any || !field.empty()) {
      row.push_back(field);
      rows.push_back(row);
    }
    row = Json::array();
    field.clear();
    any = false;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      row.push_back(field);
      field.clear();
      any = comma = true;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      end_row();
    } else {
      if (c == ';' || c == '\t') other_separator = true;
      field += c;
      any = true;
    }
  }
  if (quoted) throw UsageError("the CSV file ends inside a quoted field");
  end_row();
  if (!comma && other_separator)
    throw UsageError(
        "the CSV file is not comma-separated (it has semicolons or tabs and "
        "no commas)");
  return rows;
}

Json ValuesJson(const std::string& values) {
  if (values.empty()) throw UsageError("--values is required");
  if (values[0] == '[') return ParseJson(values, "--values");
  if (values[0] == '@')
    return ParseJson(ReadFile(values.substr(1)), "'" + values.substr(1) + "'");
  return CsvRows(ReadFile(values));
}

}  // namespace quillet::cli
