// How the SQLite engine spells a call's row: the properties as one JSON
// object (a text as a string, a number as [type, value]), each text as a
// JSON array of its pieces. SQL reads the same spelling with json_extract.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/standins/store_types.h"

namespace quillet::standins {

std::string EncodeProperties(const std::map<std::string, StoredValue>& props);
std::map<std::string, StoredValue> DecodeProperties(std::string_view json);

// Nothing for no pieces, so that a call without a text stores NULL.
std::optional<std::string> EncodePieces(const std::vector<std::string>& pieces);
std::vector<std::string> DecodePieces(std::string_view json);

}  // namespace quillet::standins
