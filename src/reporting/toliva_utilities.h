// ReportError and LogError: how the operations report failures and the back
// end's complaints to the log component ("Corvane.Log").
//
// Both read the current error of the calling thread (error.h). Neither traps
// errors: when the log component cannot be created or its WriteEntry fails,
// that failure leaves them unchanged (and ReportError then raises it instead
// of the error it was reporting). The additional information, when given,
// counts as present whatever it holds (Empty and Null included) and is never
// changed.
#pragma once

#include "quillet/variant.h"

namespace quillet::TolivaUtilities {

// Writes one log entry: "<method> caught: <description>(<number>)." and, when
// additional information is given, " Additional information: <text>". The
// entry goes through WriteEntry(source, text, 0, Empty) of a log component
// created for this entry alone (through the object context when there is
// one) and released after it.
void LogError(StringView method_name);
void LogError(StringView method_name, const Variant& additional_information);

// With a current error: logs the composed error text
// "\r\nMETHOD: <method> caught: <description>(<number>)." [+ " Additional
// information: <text>"] and raises the current error again with that text
// as its description. Without one: logs " Additional information: <text>"
// (or an empty message) and returns.
void ReportError(StringView method_name);
void ReportError(StringView method_name, const Variant& additional_information);

}  // namespace quillet::TolivaUtilities
