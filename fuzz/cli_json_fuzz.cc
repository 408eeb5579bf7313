// The command line's JSON input: a request is refused as a usage error or
// runs to an outcome on the recording adapter.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "quillet/error.h"
#include "quillet/operations/operation.h"
#include "support/recording_adapter.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::ordered_json request = nlohmann::ordered_json::parse(
      std::string(reinterpret_cast<const char*>(data), size), nullptr, false);
  if (request.is_discarded()) return 0;
  testing::RecordingWorld world;
  try {
    operations::PreparedOperation op = operations::Prepare(request);
    Ref<CallsInterface> calls = NewCalls();
    operations::Outcome outcome = operations::Run(*calls, op, {});
    outcome.output.dump(-1, ' ', false,
                        nlohmann::ordered_json::error_handler_t::replace);
  } catch (const operations::UsageError&) {
  } catch (const Error&) {
  }
  if (world.LiveTotal() != 0) std::abort();
  return 0;
}
