// Every conversion goes through one of two canonical forms: a double for
// numbers, or the text. The platform's rules for each source type are in
// NumberOf() and ToString(); the target types only add rounding and range.
#include "quillet/convert.h"

#include <cmath>
#include <limits>

#include "quillet/error.h"

namespace quillet {
namespace {

StringView Trim(StringView s) {
  auto blank = [](char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
  };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The value as a double, for the numeric targets.
double NumberOf(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      RaiseRuntime(errors::kInvalidUseOfNull);
    case VarType::Boolean:
      return value.AsBoolean() ? -1 : 0;
    case VarType::Byte:
      return value.AsByte();
    case VarType::Integer:
      return value.AsInteger();
    case VarType::Long:
      return value.AsLong();
    case VarType::Double:
      return value.AsDouble();
    case VarType::String: {
      std::optional<double> n = ParseNumber(value.AsString());
      if (!n) RaiseRuntime(errors::kTypeMismatch);
      return *n;
    }
    case VarType::Object:
      return NumberOf(DefaultValue(value));
    case VarType::Array:
      break;
  }
  RaiseRuntime(errors::kTypeMismatch);
}

double RoundedInRange(const Variant& value, double low, double high) {
  double r = RoundHalfEven(NumberOf(value));
  if (!(r >= low && r <= high)) RaiseRuntime(errors::kOverflow);
  return r;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "&H..." and "&O...": the bits fill a 16-bit integer when they fit, else a
// 32-bit one, and are read as signed, as the runtime reads such literals.
std::optional<double> ParseRadix(StringView digits, int radix) {
  if (digits.empty()) return std::nullopt;
  uint64_t bits = 0;
  for (char16_t c : digits) {
    int d = HexDigit(c);
    if (d < 0 || d >= radix) return std::nullopt;
    bits = bits * static_cast<uint64_t>(radix) + static_cast<uint64_t>(d);
    if (bits > 0xFFFFFFFFull) RaiseRuntime(errors::kOverflow);
  }
  if (bits <= 0xFFFF) return static_cast<int16_t>(static_cast<uint16_t>(bits));
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

}  // namespace

double RoundHalfEven(double value) {
  // The default floating-point environment rounds to nearest, ties to even.
  return std::nearbyint(value);
}

std::optional<double> ParseNumber(StringView text) {
  // The common case first: a few plain digits, perhaps signed.
  if (!text.empty() && text.size() <= 9) {
    size_t i = text[0] == u'-' ? 1 : 0;
    int32_t n = 0;
    bool plain = i < text.size();
    for (size_t j = i; j < text.size() && plain; ++j) {
      if (text[j] < u'0' || text[j] > u'9')
        plain = false;
      else
        n = n * 10 + (text[j] - u'0');
    }
    if (plain) return i ? -n : n;
  }
  StringView s = Trim(text);
  if (s.size() >= 2 && s[0] == u'&') {
    char16_t r = s[1];
    if (r == u'H' || r == u'h') return ParseRadix(s.substr(2), 16);
    if (r == u'O' || r == u'o') return ParseRadix(s.substr(2), 8);
    return std::nullopt;
  }
  size_t i = 0;
  bool negative = false, signed_ = false, parens = false;
  if (i < s.size() && s[i] == u'(') {
    parens = true;
    ++i;
  }
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    signed_ = true;
    ++i;
  }
  // The locale's (en-US) currency symbol, once, before or after the digits.
  bool currency = false;
  if (i < s.size() && s[i] == u'$') {
    currency = true;
    ++i;
  }
  std::string ascii;  // digits, point and exponent, for strtod
  bool digits = false;
  while (i < s.size()) {
    char16_t c = s[i];
    if (c >= u'0' && c <= u'9') {
      ascii += static_cast<char>(c);
      digits = true;
    } else if (c == u',' && digits) {
      // thousands separator: skipped
    } else {
      break;
    }
    ++i;
  }
  if (i < s.size() && s[i] == u'.') {
    ascii += '.';
    ++i;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') {
      ascii += static_cast<char>(s[i++]);
      digits = true;
    }
  }
  if (!digits) return std::nullopt;
  if (i < s.size() &&
      (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
    ascii += 'e';
    ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
      ascii += static_cast<char>(s[i++]);
    bool exponent_digits = false;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') {
      ascii += static_cast<char>(s[i++]);
      exponent_digits = true;
    }
    if (!exponent_digits) return std::nullopt;
  }
  if (!currency && i < s.size() && s[i] == u'$') ++i;
  if (!signed_ && i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    ++i;
  }
  if (parens) {
    if (i >= s.size() || s[i] != u')' || signed_) return std::nullopt;
    negative = true;
    ++i;
  }
  if (i != s.size()) return std::nullopt;
  double value = std::strtod(ascii.c_str(), nullptr);
  if (std::isinf(value)) RaiseRuntime(errors::kOverflow);
  return negative ? -value : value;
}

String FormatDouble(double value) {
  if (value == 0) return u"0";
  char buffer[40];
  int n = std::snprintf(buffer, sizeof buffer, "%.15G", value);
  String out;
  for (int i = 0; i < n; ++i) out += static_cast<char16_t>(buffer[i]);
  return out;
}

String ToString(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
      return String();
    case VarType::Null:
      RaiseRuntime(errors::kInvalidUseOfNull);
    case VarType::Boolean:
      return value.AsBoolean() ? u"True" : u"False";
    case VarType::Byte:
    case VarType::Integer:
    case VarType::Long: {
      std::string digits =
          std::to_string(static_cast<int32_t>(NumberOf(value)));
      return String(digits.begin(), digits.end());
    }
    case VarType::Double:
      return FormatDouble(value.AsDouble());
    case VarType::String:
      return String(value.AsString());
    case VarType::Object:
      return ToString(DefaultValue(value));
    case VarType::Array:
      break;
  }
  RaiseRuntime(errors::kTypeMismatch);
}

String ToString(Variant&& value) {
  if (value.IsString()) return value.TakeString();
  return ToString(static_cast<const Variant&>(value));
}

uint8_t ToByte(const Variant& value) {
  if (value.type() == VarType::Boolean) return value.AsBoolean() ? 255 : 0;
  return static_cast<uint8_t>(RoundedInRange(value, 0, 255));
}

int16_t ToInteger(const Variant& value) {
  return static_cast<int16_t>(RoundedInRange(value, -32768, 32767));
}

int32_t ToLong(const Variant& value) {
  return static_cast<int32_t>(
      RoundedInRange(value, -2147483648.0, 2147483647.0));
}

double ToDouble(const Variant& value) { return NumberOf(value); }

bool ToBoolean(const Variant& value) {
  if (value.IsString()) {
    // The words, and the hash-delimited forms of the Boolean literals.
    StringView text = Trim(value.AsString());
    if (text.size() >= 2 && text.front() == u'#' && text.back() == u'#') {
      StringView inner = text.substr(1, text.size() - 2);
      if (EqualsIgnoringCase(inner, u"TRUE")) return true;
      if (EqualsIgnoringCase(inner, u"FALSE")) return false;
    }
    if (EqualsIgnoringCase(text, u"True")) return true;
    if (EqualsIgnoringCase(text, u"False")) return false;
  }
  if (value.type() == VarType::Boolean) return value.AsBoolean();
  return NumberOf(value) != 0;
}

bool EqualsNumber(const Variant& value, double number) {
  if (value.IsNull()) return false;
  if (value.IsObject()) return EqualsNumber(DefaultValue(value), number);
  return NumberOf(value) == number;
}

Variant Concat(const Variant& a, const Variant& b) {
  if (a.IsNull() && b.IsNull()) return kNull;
  auto text = [](const Variant& v) {
    return v.IsNull() ? String() : ToString(v);
  };
  return text(a) + text(b);
}

Variant DefaultValue(const Variant& value) {
  if (!value.IsObject()) return value;
  Object* object = value.AsObject().Get();
  if (!object) RaiseRuntime(errors::kObjectNotSet);
  return object->Invoke(kDispIdValue, InvokeKind::PropertyGet, {});
}

Object* RequireObject(const Variant& value) {
  if (!value.IsObject()) RaiseRuntime(errors::kObjectRequired);
  Object* object = value.AsObject().Get();
  if (!object) RaiseRuntime(errors::kObjectNotSet);
  return object;
}

size_t TextLength(const Variant& value) {
  return value.IsNull() ? 0 : ToString(value).size();
}

}  // namespace quillet
