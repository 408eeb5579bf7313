// Input that cannot be used: the request is refused whole before anything
// runs, so nothing is written to the back end or the log. The command exits
// with status 2, the service answers 400; what() names what is wrong,
// quoting input escaped (text_excerpt.h).
#pragma once

#include <stdexcept>

namespace quillet::operations {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace quillet::operations
