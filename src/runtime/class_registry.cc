// One process-wide table behind a reader-writer lock: creation by name runs
// on every operation, registration only at start-up and in tests.
#include "quillet/class_registry.h"

#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_map>

#include "quillet/dictionary.h"
#include "quillet/error.h"
#include "quillet/text.h"

namespace quillet {
namespace {

String Folded(StringView name) {
  String out(name);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c += 32;
  return out;
}

struct Registry {
  std::shared_mutex mutex;
  std::unordered_map<String, ClassEntry> classes;

  Registry() {
    // The Scripting runtime is part of the platform, always there.
    classes.emplace(Folded(Dictionary::kClassName),
                    ClassEntry{String(Dictionary::kClassName), {}, [] {
                                 return Ref<Object>(MakeRef<Dictionary>());
                               }});
  }
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: used at exit
  return *registry;
}

}  // namespace

void RegisterClass(StringView class_name, ClassFactory factory,
                   StringView class_id, bool replace) {
  Registry& r = TheRegistry();
  std::unique_lock lock(r.mutex);
  String key = Folded(class_name);
  if (!replace && r.classes.contains(key))
    throw std::logic_error("class registered twice: " + ToUtf8(class_name));
  r.classes[key] =
      ClassEntry{String(class_name), String(class_id), std::move(factory)};
}

bool UnregisterClass(StringView class_name) {
  Registry& r = TheRegistry();
  std::unique_lock lock(r.mutex);
  return r.classes.erase(Folded(class_name)) > 0;
}

std::optional<ClassEntry> FindClass(StringView class_name) {
  Registry& r = TheRegistry();
  std::shared_lock lock(r.mutex);
  auto it = r.classes.find(Folded(class_name));
  if (it == r.classes.end()) return std::nullopt;
  return it->second;
}

Ref<Object> CreateObject(StringView class_name) {
  ClassFactory factory;
  {
    Registry& r = TheRegistry();
    std::shared_lock lock(r.mutex);
    auto it = r.classes.find(Folded(class_name));
    if (it == r.classes.end()) RaiseRuntime(errors::kCantCreateObject);
    factory = it->second.factory;
  }
  Ref<Object> object = factory ? factory() : nullptr;
  if (!object) RaiseRuntime(errors::kCantCreateObject);
  return object;
}

void RaiseTypeMismatch() { RaiseRuntime(errors::kTypeMismatch); }

ScopedClassRegistration::ScopedClassRegistration(StringView class_name,
                                                 ClassFactory factory)
    : class_name_(class_name), previous_(FindClass(class_name)) {
  RegisterClass(class_name, std::move(factory),
                previous_ ? StringView(previous_->class_id) : StringView(),
                /*replace=*/true);
}

ScopedClassRegistration::~ScopedClassRegistration() {
  if (previous_) {
    RegisterClass(previous_->class_name, std::move(previous_->factory),
                  previous_->class_id, /*replace=*/true);
  } else {
    UnregisterClass(class_name_);
  }
}

}  // namespace quillet
