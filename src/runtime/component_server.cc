#include "quillet/component_server.h"

#include <dlfcn.h>

#include <unordered_map>

#include "quillet/class_registry.h"
#include "quillet/error.h"
#include "quillet/text.h"
#include "runtime/mutex.h"

namespace quillet {
namespace {

// The type library of each registered class, by class name.
struct TypeLibraryTable {
  Mutex mutex;
  std::unordered_map<String, TypeLibraryInfo, IgnoringCaseHash,
                     IgnoringCaseEqual>
      by_class GUARDED_BY(mutex);
};
TypeLibraryTable& TypeLibraries() {
  static auto* libraries = new TypeLibraryTable();  // used at exit
  return *libraries;
}
// Classes registered by the DllRegisterServer call that the loader is making
// on this thread, so that it can route their creation through the library's
// DllGetClassObject.
thread_local std::vector<ServerClass>* registering = nullptr;

}  // namespace

int32_t RegisterServer(const ServerDescription& server) {
  try {
    for (const ServerClass& c : server.classes) {
      RegisterClass(c.class_name, c.create,
                    {.class_id = c.class_id, .replace_existing = true});
      TypeLibraryTable& t = TypeLibraries();
      MutexLock lock(t.mutex);
      t.by_class[c.class_name] = server.type_library;
      if (registering) registering->push_back(c);
    }
    return kStatusOk;
  } catch (...) {
    return kStatusFail;
  }
}

int32_t UnregisterServer(const ServerDescription& server) {
  for (const ServerClass& c : server.classes) {
    UnregisterClass(c.class_name);
    TypeLibraryTable& t = TypeLibraries();
    MutexLock lock(t.mutex);
    t.by_class.erase(c.class_name);
  }
  return kStatusOk;
}

int32_t GetClassObject(const ServerDescription& server, const char* class_id,
                       void** factory) {
  if (!factory || !class_id) return kStatusFail;
  *factory = nullptr;
  String wanted = FromUtf8(class_id);
  for (const ServerClass& c : server.classes) {
    if (c.class_id == wanted) {
      // The caller owns the one reference handed out and adopts it.
      Ref<Object> f = MakeRef<ClassFactoryObject>(c.create);
      *factory = f.Detach();
      return kStatusOk;
    }
  }
  return kStatusClassNotAvailable;
}

int32_t CanUnloadNow(const ServerDescription& server) {
  return server.retain_in_memory ? kStatusFalse : kStatusOk;
}

std::optional<TypeLibraryInfo> FindTypeLibrary(StringView class_name) {
  TypeLibraryTable& t = TypeLibraries();
  MutexLock lock(t.mutex);
  auto it = t.by_class.find(class_name);
  if (it == t.by_class.end()) return std::nullopt;
  return it->second;
}

void LoadComponentServer(const std::string& path) {
  using Status = int32_t (*)();
  using GetClass = int32_t (*)(const char*, void**);
  auto fail = [&](const std::string& why) {
    RaiseRuntime(errors::kCantCreateObject,
                 String(RuntimeErrorDescription(errors::kCantCreateObject)) +
                     u": " + FromUtf8(path) + u": " + FromUtf8(why));
  };
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) fail(dlerror());
  auto do_register =
      reinterpret_cast<Status>(dlsym(library, "DllRegisterServer"));
  auto get_class =
      reinterpret_cast<GetClass>(dlsym(library, "DllGetClassObject"));
  if (!do_register || !get_class || !dlsym(library, "DllUnregisterServer") ||
      !dlsym(library, "DllCanUnloadNow"))
    fail("not a component library (entry points missing)");

  std::vector<ServerClass> classes;
  registering = &classes;
  int32_t status = do_register();
  registering = nullptr;
  if (status != kStatusOk) fail("DllRegisterServer failed");

  // Creation goes through the library's class factory from now on. The
  // library is never closed: its classes stay registered.
  for (const ServerClass& c : classes) {
    std::string class_id = ToUtf8(c.class_id);
    RegisterClass(
        c.class_name,
        [get_class, class_id]() -> Ref<Object> {
          void* raw = nullptr;
          if (get_class(class_id.c_str(), &raw) != kStatusOk || !raw)
            RaiseRuntime(errors::kCantCreateObject);
          Ref<ClassFactoryObject> factory = Ref<ClassFactoryObject>::Adopt(
              static_cast<ClassFactoryObject*>(static_cast<Object*>(raw)));
          return factory->CreateInstance();
        },
        {.class_id = c.class_id, .replace_existing = true});
  }
}

}  // namespace quillet
