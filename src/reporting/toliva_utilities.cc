#include "reporting/toliva_utilities.h"

#include <string>

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "quillet/object_context.h"
#include "runtime/creation_hook.h"

namespace quillet::TolivaUtilities {
namespace {

constexpr StringView kAdditional = u" Additional information: ";

String NumberText(int32_t number) {
  std::string digits = std::to_string(number);
  return String(digits.begin(), digits.end());
}

// Additional information as text: Null reads as empty here, unlike ToString.
String InformationText(const Variant& information) {
  return information.IsNull() ? String() : ToString(information);
}

// "<method> caught: <description>(<number>)."
String Caught(StringView method_name, const ErrorInfo& error) {
  String text(method_name);
  text += u" caught: ";
  text += error.description;
  text += u"(";
  text += NumberText(error.number);
  text += u").";
  return text;
}

void Log(StringView method_name, const Variant* information) {
  String text = Caught(method_name, CurrentError());
  if (information) {
    text += kAdditional;
    text += InformationText(*information);
  }
  Variant source = CurrentError().source;
  Variant log_text = std::move(text);
  Variant number = Variant::Long(0);
  Variant extra;
  Ref<ObjectContext> context = GetObjectContext();
  // A dry run stores nothing, the log entry included; a replayed request
  // was logged when it was carried out, and logging it again would say it
  // happened twice. A trace shows the entry withheld.
  if (InDryRun() || (context && context->Replayed())) {
    runtime::NoteWithheld(adapter::kLogClass, u"WriteEntry",
                          {&source, &log_text, &number, &extra});
    return;
  }
  try {
    Ref<Object> log = context ? context->CreateInstance(adapter::kLogClass)
                              : CreateObject(adapter::kLogClass);
    CallMethod(log.Get(), u"WriteEntry", source, log_text, number, extra);
  } catch (const Error&) {
    // The log's failure replaces the request's error: the host hears that
    // the answer is the log's.
    if (context) context->NoteLogFailed();
    throw;
  }
}

void Report(StringView method_name, const Variant* information) {
  if (CurrentError().number == 0) {
    Variant message = String();
    if (information)
      message = String(kAdditional) + InformationText(*information);
    Log(method_name, &message);
    return;
  }
  String text = u"\r\nMETHOD: " + Caught(method_name, CurrentError());
  if (information) {
    text += kAdditional;
    text += InformationText(*information);
  }
  Variant error_text = text;
  Log(method_name, &error_text);
  const ErrorInfo& current = CurrentError();
  Raise({.number = current.number,
         .source = current.source,
         .description = std::move(text),
         .help_file = current.help_file,
         .help_context = current.help_context});
}

}  // namespace

void LogError(StringView method_name) { Log(method_name, nullptr); }
void LogError(StringView method_name, const Variant& additional_information) {
  Log(method_name, &additional_information);
}
void ReportError(StringView method_name) { Report(method_name, nullptr); }
void ReportError(StringView method_name,
                 const Variant& additional_information) {
  Report(method_name, &additional_information);
}

}  // namespace quillet::TolivaUtilities
