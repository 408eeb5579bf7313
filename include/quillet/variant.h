// Variant: the tagged value that crosses every boundary of the system.
//
// A Variant is Empty, Null, Boolean, Byte (0..255), Integer (16-bit), Long
// (32-bit), Double, String (16-bit code units), Object (a reference, possibly
// Nothing) or Array (a SafeArray, held by value: copying a Variant copies the
// array). Conversions between them live in convert.h and follow the
// platform's rules; this header only holds and inspects values.
//
//   Variant v = Variant::Byte(40);
//   v.type() == VarType::Byte;  v.AsByte() == 40;
//
// Objects are also called late bound through Variants, by name; every
// argument is the caller's own variable, so the callee's writes reach it:
//
//   Variant table = ..., component = u"Items", error;
//   CallMethod(manager.Get(), u"CreateSerializedItem", table, component,
//   error);
//   // `error` now holds what the manager wrote into it.
//
// A text of up to 15 code units is held inside the Variant itself, so that
// making, copying and dropping the short texts that fill call details and
// results allocates nothing; a longer text is held as a String and moves
// without a copy.
//
// A Variant is a plain value: not thread-safe for concurrent writes, like any
// standard container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "quillet/object.h"

namespace quillet {

class SafeArray;

// Ordered so that "holds a number" is a range check: Boolean..Double.
enum class VarType : uint8_t {
  Empty,
  Null,
  Boolean,
  Byte,
  Integer,
  Long,
  Double,
  String,
  Object,
  Array,
};

// "Empty", "Null", "Boolean", "Byte", "Integer", "Long", "Double", "String",
// "Object", "Array".
std::string_view TypeName(VarType type);

struct NullValue {
  friend bool operator==(NullValue, NullValue) { return true; }
};
inline constexpr NullValue kNull{};

class Variant {
 public:
  Variant() noexcept = default;
  Variant(NullValue) noexcept : v_(kNull) {}
  Variant(bool b) noexcept : v_(b) {}
  Variant(int32_t n) noexcept : v_(n) {}
  Variant(double d) noexcept : v_(d) {}
  Variant(const String& s) { SetText(s); }
  Variant(String&& s) noexcept {
    if (s.size() <= ShortText::kCapacity) {
      SetText(s);
    } else {
      v_.emplace<String>(std::move(s));
    }
  }
  Variant(StringView s) { SetText(s); }
  Variant(const char16_t* s) { SetText(s); }
  // Narrow text would decay to a pointer and then read as a Boolean; text is
  // 16-bit (u"..."), and objects are passed as Ref<T>.
  Variant(const char*) = delete;
  template <class T, class = std::enable_if_t<
                         !std::is_same_v<std::remove_cv_t<T>, char16_t>>>
  Variant(T*) = delete;
  Variant(Ref<Object> o) noexcept : v_(std::move(o)) {}
  template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T> &&
                                              !std::is_same_v<T, Object>>>
  Variant(Ref<T> o) noexcept : v_(Ref<Object>(std::move(o))) {}
  Variant(SafeArray array);

  static Variant Byte(uint8_t b) { return Variant(Tag<uint8_t>{b}); }
  static Variant Integer(int16_t n) { return Variant(Tag<int16_t>{n}); }
  static Variant Long(int32_t n) { return Variant(n); }

  Variant(const Variant& other) : v_(other.v_) {
    if (IsArray()) DeepenArray();
  }
  Variant(Variant&& other) noexcept = default;
  Variant& operator=(const Variant& other) {
    if (this != &other) {
      Variant copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  Variant& operator=(Variant&& other) noexcept = default;
  ~Variant() = default;

  VarType type() const noexcept {
    size_t index = v_.index();
    return index == kShortTextIndex ? VarType::String
                                    : static_cast<VarType>(index);
  }
  bool IsEmpty() const noexcept { return type() == VarType::Empty; }
  bool IsNull() const noexcept { return type() == VarType::Null; }
  bool IsNumeric() const noexcept {
    return type() >= VarType::Boolean && type() <= VarType::Double;
  }
  bool IsString() const noexcept { return type() == VarType::String; }
  bool IsObject() const noexcept { return type() == VarType::Object; }
  bool IsArray() const noexcept { return type() == VarType::Array; }

  // Direct access; the caller has checked the type (UB otherwise is avoided:
  // std::get raises std::bad_variant_access).
  bool AsBoolean() const { return std::get<bool>(v_); }
  uint8_t AsByte() const { return std::get<uint8_t>(v_); }
  int16_t AsInteger() const { return std::get<int16_t>(v_); }
  int32_t AsLong() const { return std::get<int32_t>(v_); }
  double AsDouble() const { return std::get<double>(v_); }
  // The text, viewed in place: valid while the Variant holds it unchanged.
  StringView AsString() const {
    if (const ShortText* t = std::get_if<ShortText>(&v_)) return t->View();
    return std::get<String>(v_);
  }
  // Moves the text out, leaving the Variant Empty; a long text is not copied.
  String TakeString();
  const Ref<Object>& AsObject() const { return std::get<Ref<Object>>(v_); }
  const SafeArray& AsArray() const;
  SafeArray& AsArray();

  // Exact equality of type and value (objects by identity, arrays by
  // content). This is not the platform's `=` operator; tests use it.
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  template <class T>
  struct Tag {
    T value;
  };
  explicit Variant(Tag<uint8_t> t) noexcept : v_(t.value) {}
  explicit Variant(Tag<int16_t> t) noexcept : v_(t.value) {}

  // Arrays are values: a copy gets its own elements.
  void DeepenArray();

  // A text short enough to live in the Variant; trivially copyable.
  struct ShortText {
    static constexpr size_t kCapacity = 15;
    uint8_t size = 0;
    char16_t units[kCapacity] = {};
    StringView View() const { return StringView(units, size); }
  };
  void SetText(StringView s) {
    if (s.size() <= ShortText::kCapacity) {
      ShortText& t = v_.emplace<ShortText>();
      t.size = static_cast<uint8_t>(s.size());
      s.copy(t.units, s.size());
    } else {
      v_.emplace<String>(s);
    }
  }

  // Holder that keeps Variant's size small.
  struct ArrayBox {
    std::shared_ptr<SafeArray> array;  // never shared: copies are deep
  };
  // Ordered as VarType, with the short text last: it is a String too.
  std::variant<std::monostate, NullValue, bool, uint8_t, int16_t, int32_t,
               double, String, Ref<Object>, ArrayBox, ShortText>
      v_;
  static constexpr size_t kShortTextIndex = 10;
  static_assert(
      std::is_same_v<std::variant_alternative_t<kShortTextIndex, decltype(v_)>,
                     ShortText>);
};

// Late-bound call by name: 91 when `target` is Nothing, 438 for an unknown
// name, 450 for a wrong argument count, and whatever the member raises.
Variant CallByName(Object* target, StringView name, InvokeKind kind, Args args);

// Method call by name with the given variables passed by reference.
template <class... V>
Variant CallMethod(Object* target, StringView name, V&... vars) {
  Variant* refs[] = {&vars..., nullptr};
  return CallByName(target, name, InvokeKind::Method, Args(refs, sizeof...(V)));
}

// Property get / put by name.
Variant GetProperty(Object* target, StringView name);
void PutProperty(Object* target, StringView name, Variant value);

// Raises 450 unless exactly `count` arguments were given.
void RequireArgCount(Args args, size_t count);

}  // namespace quillet
