#include "quillet/operations/json_variant.h"

#include <limits>

#include "quillet/convert.h"
#include "quillet/safe_array.h"
#include "quillet/text.h"

namespace quillet::operations {

using json = nlohmann::ordered_json;

namespace {

String Text(const std::string& utf8) {
  try {
    return FromUtf8(utf8);
  } catch (const std::exception&) {
    throw UsageError("a text is not valid UTF-8");
  }
}

Variant Scalar(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return kNull;
    case json::value_t::boolean:
      return value.get<bool>();
    case json::value_t::string:
      return Text(value.get_ref<const std::string&>());
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: {
      if (value.is_number_unsigned() &&
          value.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX))
        return value.get<double>();
      int64_t n = value.get<int64_t>();
      if (n < INT32_MIN || n > INT32_MAX) return static_cast<double>(n);
      return static_cast<int32_t>(n);
    }
    case json::value_t::number_float:
      return value.get<double>();
    default:
      break;
  }
  throw UsageError("a value nested too deeply for a variant");
}

// Dictionaries may hold dictionaries; deeper than this is refused rather
// than followed down the stack.
constexpr int kMaxDepth = 16;

Variant ToVariant(const json& value, int depth);

Ref<Dictionary> ToDictionary(const json& object, int depth) {
  if (!object.is_object())
    throw UsageError("the call details must be a JSON object");
  if (depth > kMaxDepth) throw UsageError("a value is nested too deeply");
  Ref<Dictionary> d = MakeRef<Dictionary>();
  for (const auto& [key, value] : object.items())
    d->Add(Text(key), ToVariant(value, depth + 1));
  return d;
}

}  // namespace

Ref<Dictionary> JsonToDictionary(const json& object) {
  return ToDictionary(object, 0);
}

Variant JsonToVariant(const json& value) { return ToVariant(value, 0); }

namespace {

Variant ToVariant(const json& value, int depth) {
  if (value.is_object()) return Variant(ToDictionary(value, depth));
  if (!value.is_array()) return Scalar(value);
  bool two_dimensional = !value.empty();
  for (const json& row : value)
    if (!row.is_array()) two_dimensional = false;
  if (!two_dimensional) {
    SafeArray a(ElementType::Variant,
                {{0, static_cast<int32_t>(value.size())}});
    for (size_t i = 0; i < value.size(); ++i)
      a.Set({static_cast<int32_t>(i)}, Scalar(value[i]));
    return a;
  }
  size_t columns = value[0].size();
  for (const json& row : value)
    if (row.size() != columns)
      throw UsageError(
          "the rows of a table must all have the same number of cells");
  SafeArray a(ElementType::Variant, {{0, static_cast<int32_t>(value.size())},
                                     {0, static_cast<int32_t>(columns)}});
  for (size_t r = 0; r < value.size(); ++r)
    for (size_t c = 0; c < columns; ++c)
      a.Set({static_cast<int32_t>(r), static_cast<int32_t>(c)},
            Scalar(value[r][c]));
  return a;
}

}  // namespace

std::string DumpJson(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

json VariantToJson(const Variant& value, bool types) {
  json plain;
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null:
      plain = nullptr;
      break;
    case VarType::Boolean:
      plain = value.AsBoolean();
      break;
    case VarType::Byte:
      plain = value.AsByte();
      break;
    case VarType::Integer:
      plain = value.AsInteger();
      break;
    case VarType::Long:
      plain = value.AsLong();
      break;
    case VarType::Double:
      plain = value.AsDouble();
      break;
    case VarType::String:
      plain = ToUtf8(value.AsString());
      break;
    case VarType::Object: {
      Object* o = value.AsObject().Get();
      if (auto* d = dynamic_cast<Dictionary*>(o)) {
        plain = json::object();
        for (const auto& [k, v] : d->entries())
          plain[ToUtf8(k.IsString() ? k.AsString() : ToString(k))] =
              VariantToJson(v, types);
        return types ? json{{"type", "Dictionary"}, {"value", plain}} : plain;
      }
      plain = o ? json(ToUtf8(o->ClassName())) : json(nullptr);
      break;
    }
    case VarType::Array: {
      const SafeArray& a = value.AsArray();
      plain = json::array();
      if (a.Dimensions() == 1) {
        for (const Variant& e : a.elements())
          plain.push_back(VariantToJson(e, types));
      } else if (a.Dimensions() == 2) {
        for (int32_t r = a.LowerBound(1); r <= a.UpperBound(1); ++r) {
          json row = json::array();
          for (int32_t c = a.LowerBound(2); c <= a.UpperBound(2); ++c)
            row.push_back(VariantToJson(a.At({r, c}), types));
          plain.push_back(row);
        }
      }
      break;
    }
  }
  if (!types) return plain;
  return json{{"type", std::string(TypeName(value.type()))}, {"value", plain}};
}

}  // namespace quillet::operations
