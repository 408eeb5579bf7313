// A batch file of arbitrary bytes: every line is read, or kept as an
// unreadable line; each line's outcome, as the command writes it, is one
// JSON text that reads back; messages for standard error are escaped.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "batch_file.h"
#include "quillet/error.h"
#include "quillet/operations/json_variant.h"
#include "quillet/operations/operation.h"
#include "quillet/operations/text_excerpt.h"
#include "support/recording_adapter.h"

using namespace quillet;
using json = nlohmann::ordered_json;

namespace {

// Printable ASCII or valid UTF-8 without control characters.
bool Escaped(const std::string& text) {
  return operations::Excerpt(text, text.size() + 1) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<cli::BatchLine> lines = cli::ReadBatchLines(text);
  cli::BatchIdentity(lines);
  testing::RecordingWorld world;
  for (const cli::BatchLine& line : lines) {
    json record = {{"line", line.number}};
    try {
      if (!line.unreadable.empty()) {
        if (!Escaped(line.unreadable)) std::abort();
        throw operations::UsageError(line.unreadable);
      }
      operations::PreparedOperation op = operations::Prepare(line.request);
      Ref<CallsInterface> calls = NewCalls();
      record.update(operations::Run(*calls, op, {}).output);
    } catch (const operations::UsageError& e) {
      record["usage"] = e.what();
    } catch (const Error&) {
    }
    // Throws (and so stops the fuzzer) on text the writer cannot write.
    std::string written = operations::DumpJson(record);
    if (json::parse(written, nullptr, false).is_discarded()) std::abort();
  }
  if (world.LiveTotal() != 0) std::abort();
  return 0;
}
