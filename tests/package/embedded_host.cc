// A host of the installed package that runs Quillet over the embedded back
// end through nothing but the installed stand-in headers: it configures and
// registers the back end and the file log, creates a call under a request
// key, creates it again (answered as the first time, nothing stored twice)
// and prints what it got.
//   embedded_host DIR
#include <iostream>
#include <string>

#include "quillet/calls.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/standins/embedded_backend.h"
#include "quillet/standins/file_log.h"
#include "quillet/standins/transaction_host.h"
#include "quillet/text.h"

using namespace quillet;

namespace {

std::string CreateUnderKey(const Ref<CallsInterface>& calls, bool& replayed) {
  standins::TransactionScope scope(u"host-form-1");
  Ref<Dictionary> details = MakeRef<Dictionary>();
  details->Add(u"SOLDTOBP", u"BP-1001");
  Variant error;
  Ref<Dictionary> result = calls->CreateCall(details, error);
  replayed = scope.context()->Replayed();
  if (!result) return "error: " + ToUtf8(ToString(error));
  return ToUtf8(ToString(result->Item(u"CALLNUMBER")));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  try {
    standins::SetStoreLimit(2);
    standins::RegisterEmbeddedBackend(
        dir + "/host.db", {.key_retention_seconds = 3600,
                           .open = standins::OpenMode::kForWriting});
    standins::RegisterFileLog(dir + "/host.log");
    RegisterQuillet();
    Ref<CallsInterface> calls = CreateAs<CallsInterface>(kCallsClassName);
    bool first_replayed = false, again_replayed = false;
    std::string first = CreateUnderKey(calls, first_replayed);
    std::string again = CreateUnderKey(calls, again_replayed);
    std::cout << "CALL " << first << " AGAIN " << again
              << (!first_replayed && again_replayed ? " REPLAYED" : "") << "\n";
    standins::StopWaiting();
  } catch (const Error& e) {
    std::cout << "error: " << ToUtf8(e.info().description) << "\n";
    return 1;
  }
  return 0;
}
