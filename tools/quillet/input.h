// What the command reads: JSON texts, call details, serialized-item tables
// (JSON or CSV) and files. Every function either answers the whole input or
// raises UsageError naming what is wrong and where; nothing is half read.
#pragma once

#include <cstdint>
#include <istream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/operations/usage_error.h"

namespace quillet::cli {

using Json = nlohmann::ordered_json;

// The whole stream / file as bytes. ReadFile refuses a folder.
std::string ReadAll(std::istream& in);
std::string ReadFile(const std::string& path);

// A JSON text, keys kept in the order written. `where` names the input in
// messages ("--details", "line 3"). Refused: invalid JSON (with the parser's
// line and column), nesting deeper than 64, a key given twice in one
// object, and a NUL byte anywhere. A UTF-8 byte-order mark at the start is
// skipped. Time and memory are linear in the size of the text; messages
// quote the input escaped.
Json ParseJson(std::string_view text, const std::string& where);

// Call details from "--details" (a JSON object, "@file.json" or "-" for
// from `in`) or from KEY=VALUE pairs (texts); not both, no key twice.
Json DetailsJson(const std::string& details,
                 const std::vector<std::string>& pairs, std::istream& in);

// Rows of a comma-separated file: "..." quoting with "" for a quote inside,
// LF or CR LF line ends, a leading byte-order mark skipped. Refused: a quote
// left open, a file whose lines have no comma but semicolons or tabs (a
// file for another separator), UTF-16 text (named as such) and NUL bytes.
Json CsvRows(const std::string& text);

// A serialized-item table from --values: a JSON array, "@file.json", or the
// path of a CSV file.
Json ValuesJson(const std::string& values);

}  // namespace quillet::cli
