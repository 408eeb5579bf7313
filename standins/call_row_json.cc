#include "call_row_json.h"

#include <nlohmann/json.hpp>

#include "backend_failure.h"

namespace quillet::standins {
namespace {

using nlohmann::json;

// Texts are valid UTF-8 when they reach the engine; should one not be, it
// is stored with U+FFFD rather than refused after the work is done.
std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json Parse(std::string_view text) {
  json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded())
    RaiseBackend("a stored call is not readable: its row is not valid JSON");
  return j;
}

}  // namespace

std::string EncodeProperties(const std::map<std::string, StoredValue>& props) {
  json j = json::object();
  for (const auto& [name, value] : props)
    j[name] = value.type == "String" ? json(value.text)
                                     : json::array({value.type, value.number});
  return Dump(j);
}

std::map<std::string, StoredValue> DecodeProperties(std::string_view text) {
  std::map<std::string, StoredValue> out;
  json j = Parse(text);
  for (auto& [name, value] : j.items()) {
    if (value.is_string())
      out[name] = {"String", value.get<std::string>(), 0};
    else if (value.is_array() && value.size() == 2 && value[0].is_string() &&
             value[1].is_number_integer())
      out[name] = {value[0].get<std::string>(), "", value[1].get<int64_t>()};
    else
      RaiseBackend("a stored call is not readable: property '" + name +
                   "' is neither a text nor [type, number]");
  }
  return out;
}

std::optional<std::string> EncodePieces(
    const std::vector<std::string>& pieces) {
  if (pieces.empty()) return std::nullopt;
  return Dump(json(pieces));
}

std::vector<std::string> DecodePieces(std::string_view text) {
  json j = Parse(text);
  std::vector<std::string> pieces;
  for (json& piece : j) {
    if (!piece.is_string())
      RaiseBackend("a stored call is not readable: a text piece is not text");
    pieces.push_back(std::move(piece.get_ref<std::string&>()));
  }
  return pieces;
}

}  // namespace quillet::standins
