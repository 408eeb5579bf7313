// Errors: the platform's numbered runtime errors, carried as C++ exceptions,
// and the current error of each thread.
//
// An error has five fields: number, source, description, help file and help
// context. Every error is raised through Raise() as a quillet::Error.
//
// The current error is what the running code is handling, one per thread. An
// operation's error trap makes a caught error current for its failure path:
//
//   ErrorTrap trap(u"Quillet.Calls");   // clears the current error
//   try {
//     ...normal path...
//   } catch (...) {
//     trap.Catch();                     // the caught error is now current
//     ...failure path; CurrentError() describes it...
//   }                                   // leaving the trap clears it again
//
// so a procedure that absorbed its own failure leaves no current error behind
// it for its caller.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "quillet/object.h"

namespace quillet {

struct ErrorInfo {
  int32_t number = 0;  // 0: no error
  String source;
  String description;
  String help_file;
  int32_t help_context = 0;

  friend bool operator==(const ErrorInfo&, const ErrorInfo&) = default;
};

// The runtime's standard error numbers used by the system.
namespace errors {
inline constexpr int32_t kInvalidCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kOutOfMemory = 7;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kPathFileAccess = 75;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kInvalidUseOfNull = 94;
inline constexpr int32_t kObjectRequired = 424;
inline constexpr int32_t kCantCreateObject = 429;
inline constexpr int32_t kNotSupported = 438;
inline constexpr int32_t kWrongArgCount = 450;
inline constexpr int32_t kDuplicateKey = 457;
inline constexpr int32_t kElementNotFound = 32811;
}  // namespace errors

// The runtime's own wording for `number` ("Overflow", "Type mismatch", ...);
// "Application-defined or object-defined error" for numbers it does not own.
StringView RuntimeErrorDescription(int32_t number);

class Error : public std::exception {
 public:
  explicit Error(ErrorInfo info, String subject = {});
  const ErrorInfo& info() const noexcept { return info_; }
  int32_t number() const noexcept { return info_.number; }
  // What the error is about, for the host's own diagnosis: the class name of
  // a failed creation by name; empty otherwise. Never part of the
  // description, which stays the platform's own text.
  const String& subject() const noexcept { return subject_; }
  // "<number>: <description>" in UTF-8.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  ErrorInfo info_;
  String subject_;
  std::string what_;
};

// The one place errors are raised; `subject` as Error::subject().
[[noreturn]] void Raise(ErrorInfo info, String subject = {});
// A runtime error with the runtime's description and an empty source (the
// trap that catches it fills in the source of the code that was running).
[[noreturn]] void RaiseRuntime(int32_t number);
// A runtime error number with a description of the raiser's own.
[[noreturn]] void RaiseRuntime(int32_t number, String description);

// The current error of the calling thread; number 0 when there is none.
const ErrorInfo& CurrentError() noexcept;
void SetCurrentError(ErrorInfo info);
void ClearCurrentError() noexcept;

// Turns the exception being handled into an ErrorInfo: an Error as it is,
// std::bad_alloc as 7, anything else as 5 with its what() as description.
// Must be called inside a catch block.
ErrorInfo ErrorFromCurrentException();

// An error trap: clears the current error when armed and when it goes out of
// scope; Catch() makes the exception being handled the current error, with
// `default_source` filled in when the error carries no source.
class ErrorTrap {
 public:
  explicit ErrorTrap(StringView default_source);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  const ErrorInfo& Catch();

 private:
  StringView default_source_;
};

}  // namespace quillet
