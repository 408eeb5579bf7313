// A listing's answer with a ceiling: elements are added as they are read,
// and the listing stops before the answer would pass kMaxListingBytes, so
// that no limit a client may ask for costs more memory than that. The
// answer then carries Quillet-Next-After, the last element's name, for the
// client to ask for the rest with ?after=. An element larger than the
// ceiling is answered alone on its page, so that paging never ends at it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "http/message.h"

namespace quillet::cli::http {

inline constexpr size_t kMaxListingBytes = 8 << 20;

class CappedListing {
 public:
  explicit CappedListing(size_t ceiling = kMaxListingBytes)
      : ceiling_(ceiling) {}
  // Raised by Add when the element does not fit: ends the visit that adds.
  struct Full {};
  // Adds `element`, named `name`; raises Full (nothing added) when it would
  // pass the ceiling on a page that holds something already.
  void Add(const nlohmann::ordered_json& element, const std::string& name);
  Response Answer() &&;

 private:
  size_t ceiling_;
  std::string body_ = "[";
  std::string last_;
  bool full_ = false;
};

}  // namespace quillet::cli::http
