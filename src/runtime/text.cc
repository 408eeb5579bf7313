#include "quillet/text.h"

#include <utf8.h>

#include "quillet/error.h"

namespace quillet {

std::string ToUtf8(StringView text) {
  std::string out;
  out.reserve(text.size());
  auto sink = std::back_inserter(out);
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // half a pair has no UTF-8 form
    }
    utf8::append(static_cast<uint32_t>(c), sink);
  }
  return out;
}

String FromUtf8(std::string_view text) {
  String out;
  out.reserve(text.size());
  try {
    utf8::utf8to16(text.begin(), text.end(), std::back_inserter(out));
  } catch (const utf8::exception&) {
    RaiseRuntime(errors::kInvalidCall,
                 u"Invalid procedure call or argument: the text is not valid "
                 u"UTF-8");
  }
  return out;
}

}  // namespace quillet
