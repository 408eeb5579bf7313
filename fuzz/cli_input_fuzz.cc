// The command's input readers on arbitrary bytes: each answers a value or a
// UsageError, never anything else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "input.h"
#include "json_variant.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    quillet::cli::CsvRows(text);
  } catch (const quillet::cli::UsageError&) {
  }
  try {
    quillet::cli::ParseJson(text, "input");
  } catch (const quillet::cli::UsageError&) {
  }
  return 0;
}
