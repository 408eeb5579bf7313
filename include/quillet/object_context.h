// The transaction-server object context.
//
// GetObjectContext() answers the context that a host has entered on the
// calling thread, or Nothing outside one. A context's CreateInstance creates
// a component by class name that joins the context: the new object, when it
// implements ContextMember, is told the context's identity before it is
// handed out.
//
// A context may carry the caller's request key: an opaque text, at most
// kMaxRequestKeyLength characters, that names one request of the caller. A
// host sets it when it creates the context (the transaction host stand-in:
// TransactionScope(key)); an adapter that stores things reads it with
// RequestKey() and, when it has already carried out a request under that
// key, answers what it answered then instead of doing it again, and says so
// with NoteReplayed(). The operations of Calls keep their signatures: the key
// travels beside them. Without a key (empty), every request is new.
//
// Beside the key, a host may name the request as its caller gave it
// (RequestDigest(): any text, equal for equal requests). An adapter then
// tells a repeated request from another one under the same key by that
// name rather than by what it was sent, which may differ on a retry (the
// engineer time a question adds may have changed meanwhile).
//
// A context may also ask for a dry run: the operation runs in full and the
// adapter stores nothing (adapter.h says how an adapter declares that it
// honours this; Quillet sends nothing to one that does not, and writes no
// log entry).
//
//   // host                                 // adapter, while submitting
//   TransactionScope scope(u"order-1182");   Ref<ObjectContext> c =
//   calls->CreateCall(details, error);           GetObjectContext();
//   if (scope.context()->Replayed()) ...     String key = c ? c->RequestKey()
//                                                           : String();
//
// An adapter whose system is busy says so before it raises, and the host
// tells its caller to try again rather than that the request failed:
//
//   // adapter, when the ERP answers "locked"
//   if (Ref<ObjectContext> c = GetObjectContext()) c->NoteRetryLater();
//   Raise({.number = 1001, .source = u"MyErp", .description = u"busy"});
#pragma once

#include "quillet/variant.h"

namespace quillet {

class ObjectContext : public Object {
 public:
  // The context's identity, for the record of the objects that join it.
  virtual String Identity() const = 0;
  // Creates by class name through the class registry; errors as CreateObject.
  virtual Ref<Object> CreateInstance(StringView class_name) = 0;
  // The caller's key for the request running in this context; empty when
  // there is none.
  virtual String RequestKey() const { return String(); }
  // The caller's name for the request running in this context; empty when
  // the host gives none (the adapter then compares what it was sent).
  virtual String RequestDigest() const { return String(); }
  // Called by an adapter that answered from its record of an earlier request
  // under the same key; Replayed() tells the host afterwards.
  virtual void NoteReplayed() {}
  virtual bool Replayed() const { return false; }
  // Whether the caller asked for a dry run.
  virtual bool DryRun() const { return false; }
  // Called by an adapter that refused the request because its key was
  // used for another one; KeyConflict() tells the host afterwards, so that
  // it need not read the refusal's words.
  virtual void NoteKeyConflict() {}
  virtual bool KeyConflict() const { return false; }
  // Called by Calls when a log entry could not be written: the error then
  // raised is the log's, not the request's outcome, and LogFailed() tells
  // the host so (a request key keeps no such answer).
  virtual void NoteLogFailed() {}
  virtual bool LogFailed() const { return false; }
  // Called by an adapter as it fails, to say what the failure means for
  // the caller beyond its words. NoteRetryLater(): the system behind it
  // was busy or away, nothing was stored, and the same request may go
  // through later (the command exits 3, the service answers 503).
  // NoteOutcomeUnknown(): the request was sent to be stored and no answer
  // came, so it may or may not have been (exit 6, 504).
  // NoteOtherFailure(): a failure that is neither. Each note replaces the
  // one before: the host acts on the adapter's last failure.
  virtual void NoteRetryLater() {}
  virtual bool RetryLater() const { return false; }
  virtual void NoteOutcomeUnknown() {}
  virtual bool OutcomeUnknown() const { return false; }
  virtual void NoteOtherFailure() {}
  // Called by an adapter each time it has stored something for the request
  // ("call SC000042 was created"), so that a failure after it is not said
  // to have stored nothing; Stored() tells the host what, joined by ", ".
  virtual void NoteStored(StringView /*what*/) {}
  virtual String Stored() const { return String(); }
  // Finer failure notes, each replacing the one before as above.
  // NoteDiskFull(): busy because the disk holding the store is full
  // (RetryLater() holds too). NoteReadOnly(): the store may be read, not
  // written, here. A host that does not tell them apart hears them as
  // NoteRetryLater() and NoteOtherFailure().
  virtual void NoteDiskFull() { NoteRetryLater(); }
  virtual bool DiskFull() const { return false; }
  virtual void NoteReadOnly() { NoteOtherFailure(); }
  virtual bool ReadOnly() const { return false; }
  // Called by an adapter whose store kept the request without the
  // confirmation a standby was to give (stored on the primary only: a
  // failover now could lose it); UnconfirmedCommit() tells the host.
  virtual void NoteUnconfirmedCommit() {}
  virtual bool UnconfirmedCommit() const { return false; }
  // Called by an adapter whose store refused the write for want of a
  // permission (retrying will not help; nothing was written);
  // NotPermitted() tells the host. A host that does not tell it apart hears
  // NoteOtherFailure().
  virtual void NoteNotPermitted() { NoteOtherFailure(); }
  virtual bool NotPermitted() const { return false; }
  // Who asks for the request running in this context (a person's or a
  // token's name), and through what ("service", "command", "batch"): an
  // adapter that keeps a log of its writes records them with each. Empty
  // when the host does not say; an empty channel is a host's.
  virtual String Actor() const { return String(); }
  virtual String Channel() const { return String(); }
  // The version of the record that the caller last read, when it asks
  // for a change only while the record is still that version (an HTTP
  // If-Match, `--if-unchanged-since`): the version the adapter gave (an
  // ETag's value), or "*" for any version of a record that exists. Empty:
  // no condition. An adapter that keeps versions checks it in the change's
  // own transaction; when the record is another version it stores nothing
  // and calls NoteChangedSinceRead(), which ChangedSinceRead() tells the
  // host.
  virtual String ExpectedVersion() const { return String(); }
  virtual void NoteChangedSinceRead() {}
  virtual bool ChangedSinceRead() const { return false; }
};

// The longest request key a context carries, in characters (code points:
// an emoji is one, though UTF-16 spends two units on it).
inline constexpr size_t kMaxRequestKeyLength = 200;

// The characters of `key`: its UTF-16 units but the second of each pair.
inline size_t RequestKeyLength(StringView key) {
  size_t n = 0;
  for (char16_t c : key)
    if (c < 0xDC00 || c > 0xDFFF) ++n;
  return n;
}

// Implemented by components that care which context they joined.
class ContextMember {
 public:
  virtual void JoinContext(const ObjectContext& context) = 0;

 protected:
  ~ContextMember() = default;
};

// Nothing unless a context was entered on this thread.
Ref<ObjectContext> GetObjectContext();
// Whether the context entered on this thread asks for a dry run.
bool InDryRun();

// Enters `context` on the calling thread for the life of the scope, and
// leaves it (restoring any outer context) after.
class ObjectContextScope {
 public:
  explicit ObjectContextScope(Ref<ObjectContext> context);
  ~ObjectContextScope();
  ObjectContextScope(const ObjectContextScope&) = delete;
  ObjectContextScope& operator=(const ObjectContextScope&) = delete;

 private:
  Ref<ObjectContext> previous_;
};

}  // namespace quillet
