#include "http/capped_listing.h"

#include <cctype>

#include "quillet/operations/json_variant.h"

namespace quillet::cli::http {

void CappedListing::Add(const nlohmann::ordered_json& element,
                        const std::string& name) {
  std::string text = operations::DumpJson(element);
  // An element larger than a page goes alone: a listing never ends at it.
  if (body_.size() > 1 && body_.size() + text.size() + 4 > ceiling_) {
    full_ = true;
    throw Full{};
  }
  body_ += body_.size() > 1 ? ",\n" : "\n";
  body_ += text;
  last_ = name;
}

Response CappedListing::Answer() && {
  body_ += body_.size() > 1 ? "\n]\n" : "]\n";
  Response response{200, "application/json", std::move(body_)};
  if (full_ && !last_.empty()) {  // percent-encoded, ready for ?after=
    std::string encoded;
    static const char kHex[] = "0123456789ABCDEF";
    for (char raw : last_) {
      auto c = static_cast<unsigned char>(raw);
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
        encoded += static_cast<char>(c);
      } else {
        encoded += '%';
        encoded += kHex[c >> 4];
        encoded += kHex[c & 15];
      }
    }
    response.Set("Quillet-Next-After", encoded);
  }
  return response;
}

}  // namespace quillet::cli::http
