// The call details of one complete, realistic request, shared by the tests,
// the benchmarks and the fuzz targets so that all of them exercise the same
// request: every key that CreateCall reads, in the order it reads them, and
// an UpdateCall of option 2 or 7 with a long text.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "quillet/dictionary.h"

namespace quillet::testing {

using DetailTexts = std::vector<std::pair<std::u16string, std::u16string>>;

const DetailTexts& CreateCallDetails();
// SOLUTIONTEXT (option 2) or Q_TEXT (option 7) of `text_length` characters.
DetailTexts UpdateCallDetails(int option, size_t text_length);

// The caller's dictionary, built anew as a caller would, in the given order.
Ref<Dictionary> ToDictionary(const DetailTexts& details);

}  // namespace quillet::testing
