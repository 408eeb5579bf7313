#include "support/raises.h"

#include "quillet/text.h"

namespace quillet::testing {

::testing::AssertionResult Raises(const std::optional<ErrorInfo>& raised,
                                  int32_t number,
                                  std::optional<StringView> description) {
  if (!raised)
    return ::testing::AssertionFailure()
           << "raised nothing; expected error " << number;
  if (raised->number != number ||
      (description && raised->description != *description))
    return ::testing::AssertionFailure()
           << "raised error " << raised->number << " \""
           << ToUtf8(raised->description) << "\"; expected error " << number
           << (description ? " \"" + ToUtf8(*description) + "\"" : "");
  return ::testing::AssertionSuccess();
}

}  // namespace quillet::testing
