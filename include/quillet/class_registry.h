// The class registry: class names mapped to factories.
//
// Everything the system creates by class name (the log component, the adapter
// session, the adapter's business objects, the service-request component,
// "Quillet.Calls" itself) is created here. A host plugs in its own
// implementation of an outside system by registering a factory under the
// class name, before the first call that needs it:
//
//   RegisterClass(u"Corvane.Log", FactoryOf<MyLog>());
//
// Registration is explicit (never from static initialisers). Registering a
// name that is taken raises 457 ("This key is already associated with an
// element of this collection") unless the registration says
// `replace_existing`; ScopedClassRegistration swaps a class for the length of
// a scope (tests).
//
// Thread-safe: lookups may run on any number of threads at once.
#pragma once

#include <functional>
#include <optional>

#include "quillet/variant.h"

namespace quillet {

using ClassFactory = std::function<Ref<Object>()>;

struct ClassEntry {
  String class_name;
  String class_id;  // "{xxxxxxxx-...}", empty for classes without one
  ClassFactory factory;
};

// How a class is registered.
struct ClassRegistration {
  StringView class_id = {};  // "{xxxxxxxx-...}", empty for classes without one
  bool replace_existing = false;  // false: a taken name raises 457
};

void RegisterClass(StringView class_name, ClassFactory factory,
                   const ClassRegistration& how = {});

// A factory that makes a new T from copies of `args` at each creation:
//   RegisterClass(adapter::kQuestionClass, FactoryOf<Question>(db_path));
template <class T, class... Args>
ClassFactory FactoryOf(Args... args) {
  return [args...] { return Ref<Object>(MakeRef<T>(args...)); };
}
// Removes the class; answers whether it was there.
bool UnregisterClass(StringView class_name);
std::optional<ClassEntry> FindClass(StringView class_name);

// Creates an instance by class name (names compare case-insensitively, as
// the platform's do). Raises 429 ("ActiveX component can't create object")
// when nothing is registered under the name or the factory answers Nothing;
// the Error's subject() names the class, the description stays the
// platform's. Errors the factory raises pass through.
Ref<Object> CreateObject(StringView class_name);

// Creates by class name and queries the interface T; raises 13 when the
// registered class does not implement T.
template <class T>
Ref<T> CreateAs(StringView class_name);

// Registers `factory` under `class_name` for the life of the scope and then
// puts back whatever was registered before (or nothing).
class ScopedClassRegistration {
 public:
  ScopedClassRegistration(StringView class_name, ClassFactory factory);
  ~ScopedClassRegistration();
  ScopedClassRegistration(const ScopedClassRegistration&) = delete;
  ScopedClassRegistration& operator=(const ScopedClassRegistration&) = delete;

 private:
  String class_name_;
  std::optional<ClassEntry> previous_;
};

[[noreturn]] void RaiseTypeMismatch();

template <class T>
Ref<T> CreateAs(StringView class_name) {
  Ref<T> typed = QueryInterface<T>(CreateObject(class_name));
  if (!typed) RaiseTypeMismatch();
  return typed;
}

}  // namespace quillet
