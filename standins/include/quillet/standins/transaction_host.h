// The transaction host's stand-in: runs code inside an object context,
// optionally under a caller's request key (object_context.h).
//
//   {
//     TransactionScope scope;            // GetObjectContext() answers it now
//     calls->CreateCall(details, error); // the log joins the context
//   }                                    // context left
//   {
//     TransactionScope scope(u"web-form-7f3a");  // a retry of the same form
//     calls->CreateCall(details, error);         // stores nothing twice
//   }
#pragma once

#include "quillet/object_context.h"

namespace quillet::standins {

// A context whose CreateInstance creates through the class registry and
// tells the new object (when it is a ContextMember) the context's identity.
class HostContext final : public ObjectContext {
 public:
  HostContext(String identity, String request_key)
      : identity_(std::move(identity)), request_key_(std::move(request_key)) {}
  String Identity() const override { return identity_; }
  Ref<Object> CreateInstance(StringView class_name) override;
  String RequestKey() const override { return request_key_; }
  void NoteReplayed() override { replayed_ = true; }
  bool Replayed() const override { return replayed_; }

 private:
  String identity_;
  String request_key_;
  bool replayed_ = false;
};

// Enters a new context (identity "ctx-<n>", unique in the process) on the
// calling thread for the life of the scope, carrying `request_key` (none
// when empty). A key longer than kMaxRequestKeyLength raises error 5.
class TransactionScope {
 public:
  explicit TransactionScope(String request_key = String());
  Ref<HostContext> context() const { return context_; }

 private:
  Ref<HostContext> context_;
  ObjectContextScope scope_;
};

}  // namespace quillet::standins
