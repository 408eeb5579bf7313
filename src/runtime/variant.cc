#include "quillet/variant.h"

#include "quillet/safe_array.h"

namespace quillet {

std::string_view TypeName(VarType type) {
  switch (type) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::Boolean:
      return "Boolean";
    case VarType::Byte:
      return "Byte";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::Double:
      return "Double";
    case VarType::String:
      return "String";
    case VarType::Object:
      return "Object";
    case VarType::Array:
      return "Array";
  }
  return "Unknown";
}

Variant::Variant(SafeArray array)
    : v_(ArrayBox{std::make_shared<SafeArray>(std::move(array))}) {}

void Variant::DeepenArray() {
  std::get<ArrayBox>(v_).array =
      std::make_shared<SafeArray>(*std::get<ArrayBox>(v_).array);
}

String Variant::TakeString() {
  String text = std::holds_alternative<String>(v_)
                    ? std::move(std::get<String>(v_))
                    : String(AsString());
  v_ = std::monostate();
  return text;
}

const SafeArray& Variant::AsArray() const {
  return *std::get<ArrayBox>(v_).array;
}
SafeArray& Variant::AsArray() { return *std::get<ArrayBox>(v_).array; }

bool operator==(const Variant& a, const Variant& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case VarType::Empty:
    case VarType::Null:
      return true;
    case VarType::Boolean:
      return a.AsBoolean() == b.AsBoolean();
    case VarType::Byte:
      return a.AsByte() == b.AsByte();
    case VarType::Integer:
      return a.AsInteger() == b.AsInteger();
    case VarType::Long:
      return a.AsLong() == b.AsLong();
    case VarType::Double:
      return a.AsDouble() == b.AsDouble();
    case VarType::String:
      return a.AsString() == b.AsString();
    case VarType::Object:
      return a.AsObject() == b.AsObject();
    case VarType::Array:
      return a.AsArray() == b.AsArray();
  }
  return false;
}

}  // namespace quillet
