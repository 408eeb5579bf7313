// Text from outside (input, the database, a back end's message) made safe
// to quote: whole UTF-8 sequences told from stray bytes, and excerpts that
// show every control character and bad byte escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::operations {

// The length of the whole, shortest UTF-8 sequence at `text[at]` (1 to 4)
// and its code point in `code`; 0 for a byte that starts none (a stray
// continuation byte, a sequence cut short or overlong, a surrogate, past
// U+10FFFF). ASCII is one byte.
size_t Utf8SequenceAt(std::string_view text, size_t at, uint32_t& code);

// `text` for a message or a JSON string: printable characters as they are,
// line breaks and tabs as \n \r \t, every other control character and
// every byte that is not part of valid UTF-8 as \xNN; cut after about
// `max_bytes` with "...".
std::string Excerpt(std::string_view text, size_t max_bytes);

// `text` whole for one line of a table or a message, whatever it holds: as
// Excerpt, but a C1 control as \u0085 (not its bytes).
std::string Printable(std::string_view text);

}  // namespace quillet::operations
