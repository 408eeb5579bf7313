// Conversions between Variants, with the platform runtime's rules and error
// numbers.
//
// Every conversion first brings the value to a canonical kind (a number as
// double, or text) and converts from there:
// - Empty reads as 0, "" or False; Null, where a value is needed, raises 94.
// - Text is read as a number the way the runtime reads it (en-US): blanks
//   around it, a sign before or after it or parentheses around it, thousands
//   separators, a decimal point, an exponent (E or D), or &H / &O radix
//   forms. Text that is not a number, the empty text included, raises 13.
// - Fractions go to the nearest whole number, halves to the even neighbour.
// - A result outside the target's range raises 6.
// - Boolean True is -1 (255 as a Byte); an object converts through its
//   default member (438 when it has none, 91 when it is Nothing); an array
//   raises 13.
#pragma once

#include <cstdint>
#include <optional>

#include "quillet/variant.h"

namespace quillet {

String ToString(const Variant& value);
// The same; a String is moved out rather than copied.
String ToString(Variant&& value);
uint8_t ToByte(const Variant& value);
int16_t ToInteger(const Variant& value);
int32_t ToLong(const Variant& value);
double ToDouble(const Variant& value);
bool ToBoolean(const Variant& value);

// The text as the runtime reads it as a number; nullopt when it is not one.
// A number too large for a double raises 6.
std::optional<double> ParseNumber(StringView text);
// A Double as the runtime prints it: up to 15 significant digits, exponent
// form ("1E+15", "1.5E-05") for very large and very small values.
String FormatDouble(double value);
// Halves to the even neighbour.
double RoundHalfEven(double value);

// `Select Case value ... Case number`: true when the value equals the number
// compared as numbers. Text that reads as a number compares as it, other
// text raises 13, Empty counts as 0, Null equals nothing.
bool EqualsNumber(const Variant& value, double number);

// The `&` operator: Null and Empty join as empty text, numbers as their
// text; Null & Null is Null.
Variant Concat(const Variant& a, const Variant& b);

// The value of an object's default member, or the value itself.
Variant DefaultValue(const Variant& value);

// The object a Variant holds, for calling a member on it: raises 424
// ("Object required") when it holds no object, 91 when it holds Nothing.
Object* RequireObject(const Variant& value);

// Len(): the length of the value as text; Null and Empty have length 0.
size_t TextLength(const Variant& value);

}  // namespace quillet
