// A host's own adapter (examples/host/host_adapter.h) says what its failure
// means through the object context, and the operation layer and both front
// ends act on it as they do on the embedded back end's.
#include "host_adapter.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "exit_status.h"
#include "http/status_map.h"
#include "quillet/class_registry.h"
#include "quillet/operations/operation.h"
#include "quillet/text.h"

namespace quillet::operations {
namespace {

TEST(HostAdapterTest, ItsRetryLaterAndOutcomeUnknownReachTheExitAndHttpStatus) {
  adapter::AdapterFactories classes = host::HostAdapterClasses();
  std::vector<std::unique_ptr<ScopedClassRegistration>> registered;
  for (auto [name, factory] :
       {std::pair{adapter::kServiceCallManagerClass,
                  &classes.service_call_manager},
        {adapter::kServiceCallRecordClass, &classes.service_call_record},
        {adapter::kServiceCallListClass, &classes.service_call_list},
        {adapter::kCreateCallResponseClass, &classes.create_call_response},
        {adapter::kUpdateCallResponseClass, &classes.update_call_response},
        {adapter::kCallTextClass, &classes.call_text},
        {adapter::kSolutionTextClass, &classes.solution_text},
        {adapter::kUserSessionClass, &classes.user_session},
        {adapter::kQuestionClass, &classes.question},
        {adapter::kLogClass, &classes.log}})
    registered.push_back(
        std::make_unique<ScopedClassRegistration>(name, *factory));
  Ref<CallsInterface> calls = NewCalls();
  struct Case {
    const char16_t* customer;
    Verdict verdict;
    int exit_status, http_status;
  };
  for (const Case& c :
       {Case{u"BP-1", Verdict::kDone, 0, 201},
        Case{host::kErpLocked, Verdict::kRetryLater, 3, 503},
        Case{host::kErpSilent, Verdict::kOutcomeUnknown, 6, 504}}) {
    SCOPED_TRACE(ToUtf8(c.customer));
    PreparedOperation op = Prepare(
        {{"op", "create-call"},
         {"details",
          {{"COMPONENT", "HostDesk"}, {"SOLDTOBP", ToUtf8(c.customer)}}}});
    for (bool transaction : {false, true}) {
      Outcome outcome =
          operations::Run(*calls, op, {.transaction = transaction});
      EXPECT_EQ(outcome.verdict, c.verdict);
      EXPECT_EQ(cli::StatusOf(outcome.verdict), c.exit_status);
      EXPECT_EQ(cli::http::StatusOf(op.op, outcome), c.http_status);
    }
  }
}

}  // namespace
}  // namespace quillet::operations
