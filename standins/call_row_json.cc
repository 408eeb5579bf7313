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

// Appends `text` as a JSON string. Every call is written through here, so
// plain ASCII, by far the most common, is copied as it is; anything else
// goes through the JSON library, which escapes and checks the UTF-8.
void AppendString(std::string& out, std::string_view text) {
  bool plain = true;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') {
      plain = false;
      break;
    }
  }
  if (!plain) {
    out += Dump(json(std::string(text)));
    return;
  }
  out += '"';
  out += text;
  out += '"';
}

}  // namespace

// The type of a stored [type, number] pair, or nothing for anything else.
std::optional<VarType> NumberType(const json& value) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_string() ||
      !value[1].is_number_integer())
    return std::nullopt;
  std::optional<VarType> type =
      StoredTypeNamed(value[0].get_ref<const std::string&>());
  if (type == VarType::String) return std::nullopt;
  return type;
}

std::string EncodeProperties(const StoredProperties& props,
                             const UnknownProperties& unknown) {
  std::string out = "{";
  out.reserve(512);
  ForEachStored(props, unknown,
                [&](std::string_view name, const StoredValue& value) {
                  if (out.size() > 1) out += ',';
                  AppendString(out, name);
                  out += ':';
                  if (value.type == VarType::String) {
                    AppendString(out, value.text);
                  } else {
                    out += '[';
                    AppendString(out, TypeName(value.type));
                    out += ',';
                    out += std::to_string(value.number);
                    out += ']';
                  }
                });
  out += '}';
  return out;
}

std::optional<std::string> SpellText(std::string_view text) {
  try {  // the spelling AppendString gives, refusing what is not UTF-8
    return json(std::string(text)).dump();
  } catch (const json::type_error&) {
    return std::nullopt;
  }
}

std::optional<std::string> SpelledText(std::string_view spelling) {
  json j = Parse(spelling);
  if (!j.is_string()) return std::nullopt;
  return std::move(j.get_ref<std::string&>());
}

void DecodeProperties(std::string_view text, StoredProperties& props,
                      UnknownProperties& unknown) {
  json j = Parse(text);
  for (auto& [name, value] : j.items()) {
    StoredValue v;
    if (value.is_string())
      v = {VarType::String, value.get<std::string>(), 0};
    else if (std::optional<VarType> type = NumberType(value))
      v = {*type, "", value[1].get<int64_t>()};
    else
      RaiseBackend("a stored call is not readable: property '" + name +
                   "' is neither a text nor [type, number]");
    if (std::optional<CallProperty> p = StoredPropertyNamed(name))
      props[*p] = std::move(v);
    else
      unknown[name] = std::move(v);
  }
}

namespace {
// At least the length of `text` as a JSON string: an escape is at most six
// bytes, the replacement of a byte that is not UTF-8 three. Reserved, not
// written: the pages past what is written are never touched, so a long text
// is encoded without the copy that growing the string would make.
size_t MostEncodedLength(std::string_view text) {
  size_t size = 2;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    size += byte < 0x20               ? 6
            : byte >= 0x80            ? 3
            : (c == '"' || c == '\\') ? 2
                                      : 1;
  }
  return size;
}
}  // namespace

std::optional<std::string> EncodePieces(
    const std::vector<std::string>& pieces) {
  if (pieces.empty()) return std::nullopt;
  size_t size = 2;
  for (const std::string& piece : pieces) size += MostEncodedLength(piece) + 1;
  std::string out = "[";
  out.reserve(size);
  for (const std::string& piece : pieces) {
    if (out.size() > 1) out += ',';
    AppendString(out, piece);
  }
  out += ']';
  return out;
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
