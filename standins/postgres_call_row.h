// How the PostgreSQL engine spells a call's row: its properties in one
// BYTEA value, and each text in one BYTEA value, as frames: a 4-byte
// big-endian length, then that many bytes. Every byte comes back exactly
// (NUL and invalid sequences included), a text's pieces keep their bounds,
// and a text grows by appending frames, which SQL does (`text || frames`)
// without reading what is there. SQL builds the same frames with int4send.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quillet/standins/store_types.h"

namespace quillet::standins {

// Each property is three frames: its name, its type, and its value (a
// number in decimal digits), known and unknown properties together in
// stored-name order; unframing sorts each name back into one or the other.
std::string FrameProperties(const StoredProperties& props,
                            const UnknownProperties& unknown);
void UnframeProperties(std::string_view frames, StoredProperties& props,
                       UnknownProperties& unknown);

// `pieces[from...]`, one frame each.
std::string FramePieces(const std::vector<std::string>& pieces,
                        size_t from = 0);
std::vector<std::string> UnframePieces(std::string_view frames);

}  // namespace quillet::standins
