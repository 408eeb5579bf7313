#include "quillet/error.h"

#include <new>

#include "quillet/text.h"

namespace quillet {

StringView RuntimeErrorDescription(int32_t number) {
  switch (number) {
    case errors::kInvalidCall:
      return u"Invalid procedure call or argument";
    case errors::kOverflow:
      return u"Overflow";
    case errors::kOutOfMemory:
      return u"Out of memory";
    case errors::kSubscriptOutOfRange:
      return u"Subscript out of range";
    case errors::kTypeMismatch:
      return u"Type mismatch";
    case errors::kPathFileAccess:
      return u"Path/File access error";
    case errors::kObjectNotSet:
      return u"Object variable or With block variable not set";
    case errors::kInvalidUseOfNull:
      return u"Invalid use of Null";
    case errors::kObjectRequired:
      return u"Object required";
    case errors::kCantCreateObject:
      return u"ActiveX component can't create object";
    case errors::kNotSupported:
      return u"Object doesn't support this property or method";
    case errors::kWrongArgCount:
      return u"Wrong number of arguments or invalid property assignment";
    case errors::kDuplicateKey:
      return u"This key is already associated with an element of this "
             u"collection";
    case errors::kElementNotFound:
      return u"Element not found";
    default:
      return u"Application-defined or object-defined error";
  }
}

Error::Error(ErrorInfo info, String subject)
    : info_(std::move(info)),
      subject_(std::move(subject)),
      what_(std::to_string(info_.number) + ": " + ToUtf8(info_.description)) {}

void Raise(ErrorInfo info, String subject) {
  // Raising "no error" is itself an error, as on the platform: a failure must
  // never look like success to the trap that catches it.
  if (info.number == 0) {
    info.number = errors::kInvalidCall;
    info.description = String(RuntimeErrorDescription(errors::kInvalidCall));
  }
  throw Error(std::move(info), std::move(subject));
}

void RaiseRuntime(int32_t number) {
  Raise({.number = number,
         .description = String(RuntimeErrorDescription(number))});
}

void RaiseRuntime(int32_t number, String description) {
  Raise({.number = number, .description = std::move(description)});
}

namespace {
ErrorInfo& CurrentSlot() noexcept {
  thread_local ErrorInfo current;
  return current;
}
}  // namespace

const ErrorInfo& CurrentError() noexcept { return CurrentSlot(); }
void SetCurrentError(ErrorInfo info) { CurrentSlot() = std::move(info); }
void ClearCurrentError() noexcept {
  ErrorInfo& slot = CurrentSlot();
  slot.number = 0;
  slot.help_context = 0;
  slot.source.clear();
  slot.description.clear();
  slot.help_file.clear();
}

ErrorInfo ErrorFromCurrentException() {
  try {
    throw;
  } catch (const Error& e) {
    return e.info();
  } catch (const std::bad_alloc&) {
    return {
        .number = errors::kOutOfMemory,
        .description = String(RuntimeErrorDescription(errors::kOutOfMemory))};
  } catch (const std::exception& e) {
    String text(RuntimeErrorDescription(errors::kInvalidCall));
    text += u": ";
    for (const char* p = e.what(); *p; ++p)
      text += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return {.number = errors::kInvalidCall, .description = std::move(text)};
  }
}

ErrorTrap::ErrorTrap(StringView default_source)
    : default_source_(default_source) {
  ClearCurrentError();
}

ErrorTrap::~ErrorTrap() { ClearCurrentError(); }

const ErrorInfo& ErrorTrap::Catch() {
  ErrorInfo info = ErrorFromCurrentException();
  if (info.source.empty()) info.source = String(default_source_);
  SetCurrentError(std::move(info));
  return CurrentError();
}

}  // namespace quillet
