// In-process component servers: the four standard entry points and the
// loader that uses them.
//
// A component library exports, with C linkage:
//   int32_t DllRegisterServer(void);
//   int32_t DllUnregisterServer(void);
//   int32_t DllGetClassObject(const char* class_id, void** factory);
//   int32_t DllCanUnloadNow(void);
// each answering an HRESULT-style status (0 success, 1 "false", negative a
// failure). Each entry point hands straight over to the functions below with
// the library's ServerDescription.
//
// A host that does not link the library directly loads it by path:
//
//   LoadComponentServer("/usr/lib/libquillet.so");   // registers its classes
//   Ref<Object> calls = CreateObject(u"Quillet.Calls");
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillet/variant.h"

namespace quillet {

inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusFalse = 1;
inline constexpr int32_t kStatusClassNotAvailable = -2147221231;  // 0x80040111
inline constexpr int32_t kStatusFail = -2147467259;               // 0x80004005

struct TypeLibraryInfo {
  String name;
  String help_string;
  int32_t major_version = 0;
  int32_t minor_version = 0;
  int32_t locale = 0;  // 0: neutral
  String library_id;
  String file_version;
};

struct ServerClass {
  String class_name;
  String class_id;
  String interface_name;
  String interface_id;
  Ref<Object> (*create)();
};

struct ServerDescription {
  TypeLibraryInfo type_library;
  std::vector<ServerClass> classes;
  bool retain_in_memory = true;
};

// A class factory, as DllGetClassObject hands it out.
class ClassFactoryObject : public Object {
 public:
  explicit ClassFactoryObject(Ref<Object> (*create)()) : create_(create) {}
  Ref<Object> CreateInstance() { return create_(); }

 private:
  Ref<Object> (*create_)();
};

int32_t RegisterServer(const ServerDescription& server);
int32_t UnregisterServer(const ServerDescription& server);
// On success `*factory` holds a ClassFactoryObject with one reference that
// the caller owns.
int32_t GetClassObject(const ServerDescription& server, const char* class_id,
                       void** factory);
int32_t CanUnloadNow(const ServerDescription& server);

// The type library of a registered class, for callers that want metadata.
std::optional<TypeLibraryInfo> FindTypeLibrary(StringView class_name);

// Opens the component library at `path`, calls its DllRegisterServer and
// registers each of its classes with a factory that goes through its
// DllGetClassObject. The library stays loaded. Raises 429 with the loader's
// message when the file cannot be opened or lacks the entry points, or when
// registration fails.
void LoadComponentServer(const std::string& path);

}  // namespace quillet
