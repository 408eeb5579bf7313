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
//   {
//     TransactionScope scope(u"", DryRun::kYes);  // what would it do?
//     calls->CreateCall(details, error);         // answers, stores nothing
//   }
#pragma once

#include <cstdint>

#include "quillet/export.h"
#include "quillet/object_context.h"

namespace quillet::standins {

// A context whose CreateInstance creates through the class registry and
// tells the new object (when it is a ContextMember) the context's identity,
// when it has one.
class QUILLET_API HostContext final : public ObjectContext {
 public:
  HostContext(String identity, String request_key, bool dry_run,
              String request_digest = String())
      : identity_(std::move(identity)),
        request_key_(std::move(request_key)),
        request_digest_(std::move(request_digest)),
        dry_run_(dry_run) {}
  String Identity() const override { return identity_; }
  Ref<Object> CreateInstance(StringView class_name) override;
  String RequestKey() const override { return request_key_; }
  String RequestDigest() const override { return request_digest_; }
  void NoteReplayed() override { replayed_ = true; }
  bool Replayed() const override { return replayed_; }
  void NoteKeyConflict() override { key_conflict_ = true; }
  bool KeyConflict() const override { return key_conflict_; }
  void NoteLogFailed() override { log_failed_ = true; }
  bool LogFailed() const override { return log_failed_; }
  bool DryRun() const override { return dry_run_; }
  void NoteRetryLater() override { failure_ = Failure::kRetryLater; }
  bool RetryLater() const override {
    return failure_ == Failure::kRetryLater || failure_ == Failure::kDiskFull;
  }
  void NoteOutcomeUnknown() override { failure_ = Failure::kOutcomeUnknown; }
  bool OutcomeUnknown() const override {
    return failure_ == Failure::kOutcomeUnknown;
  }
  void NoteOtherFailure() override { failure_ = Failure::kOther; }
  void NoteStored(StringView what) override;
  String Stored() const override { return stored_; }
  void NoteDiskFull() override { failure_ = Failure::kDiskFull; }
  bool DiskFull() const override { return failure_ == Failure::kDiskFull; }
  void NoteReadOnly() override { failure_ = Failure::kReadOnly; }
  bool ReadOnly() const override { return failure_ == Failure::kReadOnly; }
  void NoteNotPermitted() override { failure_ = Failure::kNotPermitted; }
  bool NotPermitted() const override {
    return failure_ == Failure::kNotPermitted;
  }
  void NoteUnconfirmedCommit() override { unconfirmed_commit_ = true; }
  bool UnconfirmedCommit() const override { return unconfirmed_commit_; }
  String Actor() const override { return actor_; }
  String Channel() const override { return channel_; }
  String ExpectedVersion() const override { return expected_version_; }
  void NoteChangedSinceRead() override { changed_since_read_ = true; }
  bool ChangedSinceRead() const override { return changed_since_read_; }
  // The version of the record the caller last read (ExpectedVersion).
  void SetExpectedVersion(String version) {
    expected_version_ = std::move(version);
  }
  // Who asks, and through what ("" for a host), as the creator says.
  void SetActor(String actor, String channel) {
    actor_ = std::move(actor);
    channel_ = std::move(channel);
  }
  // UpdateCall's option of the request, for the back end's event log; 0:
  // none.
  void SetUpdateOption(int32_t option) { update_option_ = option; }
  int32_t UpdateOption() const { return update_option_; }

 private:
  enum class Failure : uint8_t {
    kNone,
    kOther,
    kRetryLater,
    kOutcomeUnknown,
    kDiskFull,
    kReadOnly,
    kNotPermitted
  };
  String identity_;
  String request_key_;
  String request_digest_;
  bool dry_run_;
  bool replayed_ = false;
  bool key_conflict_ = false;
  bool log_failed_ = false;
  bool unconfirmed_commit_ = false;
  Failure failure_ = Failure::kNone;
  String stored_;
  String actor_, channel_;
  int32_t update_option_ = 0;
  String expected_version_;
  bool changed_since_read_ = false;
};

// Enters a new context (identity "ctx-<n>", unique in the process) on the
// calling thread for the life of the scope, carrying `request_key` (none
// when empty), asking for a dry run when `dry_run` says so, naming the
// request as the caller gave it with `request_digest` (none when empty). A
// key longer than kMaxRequestKeyLength raises error 5.
enum class DryRun : bool { kNo, kYes };
class QUILLET_API TransactionScope {
 public:
  explicit TransactionScope(String request_key = String(),
                            DryRun dry_run = DryRun::kNo,
                            String request_digest = String());
  Ref<HostContext> context() const { return context_; }

 private:
  Ref<HostContext> context_;
  ObjectContextScope scope_;
};

// Enters a context that only listens, for work the caller runs outside a
// transaction: it has no identity (the objects created in it join none, so
// a log entry names no context, as outside one), no key and no dry run. What
// the back end tells it (a failure's kind, what was stored) is read after.
class QUILLET_API ListeningScope {
 public:
  ListeningScope();
  Ref<HostContext> context() const { return context_; }

 private:
  Ref<HostContext> context_;
  ObjectContextScope scope_;
};

}  // namespace quillet::standins
