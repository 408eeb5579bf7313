#include "quillet/standins/transaction_host.h"

#include <atomic>
#include <string>

#include "quillet/class_registry.h"

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
  if (auto* member = dynamic_cast<ContextMember*>(object.Get()))
    member->JoinContext(*this);
  return object;
}

TransactionScope::TransactionScope()
    : context_(MakeRef<HostContext>(NextIdentity())), scope_(context_) {}

}  // namespace quillet::standins
