#include "quillet/object_context.h"

namespace quillet {
namespace {
Ref<ObjectContext>& CurrentContext() {
  thread_local Ref<ObjectContext> context;
  return context;
}
}  // namespace

Ref<ObjectContext> GetObjectContext() { return CurrentContext(); }

bool InDryRun() {
  const Ref<ObjectContext>& context = CurrentContext();
  return context && context->DryRun();
}

ObjectContextScope::ObjectContextScope(Ref<ObjectContext> context)
    : previous_(std::exchange(CurrentContext(), std::move(context))) {}

ObjectContextScope::~ObjectContextScope() {
  CurrentContext() = std::move(previous_);
}

}  // namespace quillet
