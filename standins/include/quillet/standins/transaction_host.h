// The transaction host's stand-in: runs code inside an object context.
//
//   {
//     TransactionScope scope;            // GetObjectContext() answers it now
//     calls->CreateCall(details, error); // the log joins the context
//   }                                    // context left
#pragma once

#include "quillet/object_context.h"

namespace quillet::standins {

// A context whose CreateInstance creates through the class registry and
// tells the new object (when it is a ContextMember) the context's identity.
class HostContext final : public ObjectContext {
 public:
  explicit HostContext(String identity) : identity_(std::move(identity)) {}
  String Identity() const override { return identity_; }
  Ref<Object> CreateInstance(StringView class_name) override;

 private:
  String identity_;
};

// Enters a new context (identity "ctx-<n>", unique in the process) on the
// calling thread for the life of the scope.
class TransactionScope {
 public:
  TransactionScope();
  Ref<HostContext> context() const { return context_; }

 private:
  Ref<HostContext> context_;
  ObjectContextScope scope_;
};

}  // namespace quillet::standins
