// UTF-8 at the edges: the system's texts are UTF-16; files, JSON, SQLite and
// the command line are UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "quillet/object.h"

namespace quillet {

// Unpaired surrogates become U+FFFD.
std::string ToUtf8(StringView text);
// Raises 5 ("Invalid procedure call or argument") for invalid UTF-8.
String FromUtf8(std::string_view text);

}  // namespace quillet
