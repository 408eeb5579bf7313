// The command's input readers on arbitrary bytes: each answers a value or a
// UsageError, never anything else; a message quotes the input escaped
// (printable text only, so that it can go to a terminal or a JSON writer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "input.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/text_excerpt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    quillet::cli::CsvRows(text);
  } catch (const quillet::operations::UsageError&) {
  }
  try {
    quillet::cli::ParseJson(text, "input");
  } catch (const quillet::operations::UsageError& e) {
    std::string message = e.what();
    if (quillet::operations::Excerpt(message, message.size() + 1) != message)
      std::abort();
  }
  return 0;
}
