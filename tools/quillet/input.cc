#include "input.h"

#include <xxhash.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "json_variant.h"

namespace quillet::cli {
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
// "parse error at line 1, column 9: syntax error while parsing ...".
std::string ParserMessage(const Json::exception& e) {
  std::string what = e.what();
  size_t close = what.find("] ");
  return close == std::string::npos ? what : what.substr(close + 2);
}

}  // namespace

std::string ReadAll(std::istream& in) {
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw UsageError("'" + path + "' is a folder, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read '" + path + "'");
  return ReadAll(in);
}

Json ParseJson(const std::string& text, const std::string& where) {
  std::string_view body = WithoutByteOrderMark(text);
  CheckNesting(body, where);
  // One set of keys per open object, to refuse a key given twice.
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  Json::parser_callback_t check = [&](int, Json::parse_event_t event,
                                      Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        keys.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!keys.empty()) keys.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!keys.empty() &&
            !keys.back().insert(parsed.get<std::string>()).second &&
            duplicate.empty())
          duplicate = parsed.get<std::string>();
        break;
      default:
        break;
    }
    return true;
  };
  Json value;
  try {
    value = Json::parse(body, check);
  } catch (const Json::exception& e) {  // parse errors, number overflows
    throw UsageError(where + " is not valid JSON: " + ParserMessage(e));
  }
  if (!duplicate.empty())
    throw UsageError(where + " gives the key \"" + duplicate + "\" twice");
  return value;
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

std::string ContentDigest(const std::string& text) {
  char hex[17];
  std::snprintf(
      hex, sizeof hex, "%016llx",
      static_cast<unsigned long long>(XXH3_64bits(text.data(), text.size())));
  return hex;
}

Json ValuesJson(const std::string& values) {
  if (values.empty()) throw UsageError("--values is required");
  if (values[0] == '[') return ParseJson(values, "--values");
  if (values[0] == '@')
    return ParseJson(ReadFile(values.substr(1)), "'" + values.substr(1) + "'");
  return CsvRows(ReadFile(values));
}

}  // namespace quillet::cli
