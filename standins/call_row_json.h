// How the SQLite engine spells a call's row: the properties as one JSON
// object (a text as a string, a number as [type, value]), each text as a
// JSON array of its pieces. SQL compares a property by this spelling (read
// with `->`), since json_extract cuts a text at a NUL.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/standins/store_types.h"

namespace quillet::standins {

// Known and unknown properties together, in stored-name order; decoding
// sorts each name back into one or the other.
std::string EncodeProperties(const StoredProperties& props,
                             const UnknownProperties& unknown);
void DecodeProperties(std::string_view json, StoredProperties& props,
                      UnknownProperties& unknown);

// A text as a JSON string, spelled as a stored property spells it; nothing
// for a text that is not UTF-8, which no stored text is.
std::optional<std::string> SpellText(std::string_view text);
// The text a property's spelling holds, NUL and all; nothing when it is not
// a text.
std::optional<std::string> SpelledText(std::string_view spelling);

// Nothing for no pieces, so that a call without a text stores NULL.
std::optional<std::string> EncodePieces(const std::vector<std::string>& pieces);
std::vector<std::string> DecodePieces(std::string_view json);

}  // namespace quillet::standins
