// JSON <-> Variant, as the command line maps them.
//
// JSON to Variant: string -> String, integer -> Long (Double when it does not
// fit), other numbers -> Double, true/false -> Boolean, null -> Null, an
// array of arrays -> a two-dimensional array with lower bounds 0 (rows
// first), a flat array -> a one-dimensional array, an object -> a Dictionary.
// Variant to JSON maps back the same way (Empty and Null both as null); with
// `types`, every value becomes {"type": "<Variant type>", "value": ...}.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "quillet/dictionary.h"
#include "quillet/operations/usage_error.h"
#include "quillet/variant.h"

namespace quillet::operations {

Variant JsonToVariant(const nlohmann::ordered_json& value);
Ref<Dictionary> JsonToDictionary(const nlohmann::ordered_json& object);
nlohmann::ordered_json VariantToJson(const Variant& value, bool types);

// `value` as JSON text; a string that is not valid UTF-8 (stored or read
// bytes) has U+FFFD for each bad byte instead of stopping the writer.
std::string DumpJson(const nlohmann::ordered_json& value, int indent = -1);

}  // namespace quillet::operations
