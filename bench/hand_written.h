// The same work as CreateCall and UpdateCall written by hand: the same
// adapter calls with the same values, from a plain map of strings, with no
// variants of Quillet's own, no registry and no late binding. It is what a
// user could write instead, and the floor Quillet is held against.
#pragma once

#include <string>
#include <unordered_map>

namespace quillet::bench {

using Details = std::unordered_map<std::u16string, std::u16string>;

struct HandResult {
  std::u16string call_number;
  int32_t last_transaction_time = 0;
  std::u16string contract, warranty, warranty_description, warranty_expiry;
  int status = 0;
  std::u16string error;
};

HandResult HandWrittenCreateCall(const Details& details);
// Options 2 and 7 only.
HandResult HandWrittenUpdateCall(const Details& details);

}  // namespace quillet::bench
