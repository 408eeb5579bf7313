#include "quillet/standins/transaction_host.h"

#include <atomic>
#include <string>

#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/text.h"

namespace quillet::standins {
namespace {
String NextIdentity() {
  static std::atomic<int64_t> counter{0};
  std::string id = "ctx-" + std::to_string(++counter);
  return String(id.begin(), id.end());
}
}  // namespace

Ref<Object> HostContext::CreateInstance(StringView class_name) {
  Ref<Object> object = CreateObject(class_name);
  if (identity_.empty()) return object;
  if (auto* member = dynamic_cast<ContextMember*>(object.Get()))
    member->JoinContext(*this);
  return object;
}

void HostContext::NoteStored(StringView what) {
  if (!stored_.empty()) stored_ += u", ";
  stored_ += what;
}

namespace {
Ref<HostContext> NewContext(String request_key, DryRun dry_run,
                            String request_digest) {
  if (RequestKeyLength(request_key) > kMaxRequestKeyLength)
    RaiseRuntime(errors::kInvalidCall,
                 u"A request key has at most " +
                     FromUtf8(std::to_string(kMaxRequestKeyLength)) +
                     u" characters");
  return MakeRef<HostContext>(NextIdentity(), std::move(request_key),
                              dry_run == DryRun::kYes,
                              std::move(request_digest));
}
}  // namespace

TransactionScope::TransactionScope(String request_key, DryRun dry_run,
                                   String request_digest)
    : context_(NewContext(std::move(request_key), dry_run,
                          std::move(request_digest))),
      scope_(context_) {}

ListeningScope::ListeningScope()
    : context_(MakeRef<HostContext>(String(), String(), false)),
      scope_(context_) {}

}  // namespace quillet::standins
