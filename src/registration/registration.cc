// The library's registration data and its four standard entry points.
#include "quillet/calls.h"
#include "quillet/component_server.h"

namespace quillet {
namespace {

Ref<Object> CreateCalls() { return Ref<Object>(NewCalls()); }

const ServerDescription& Server() {
  static const ServerDescription* server = new ServerDescription{
      .type_library = QuilletTypeLibrary(),
      .classes = {{.class_name = String(kCallsClassName),
                   .class_id = String(kCallsClassId),
                   .interface_name = String(kCallsInterfaceName),
                   .interface_id = String(kCallsInterfaceId),
                   .create = &CreateCalls}},
      .retain_in_memory = true,
  };
  return *server;
}

}  // namespace

const TypeLibraryInfo& QuilletTypeLibrary() {
  static const TypeLibraryInfo* info = new TypeLibraryInfo{
      .name = u"Quillet",
      .help_string = u"Toliva 2.4 - Quillet",
      .major_version = 1,
      .minor_version = 0,
      .locale = 0,
      .library_id = String(kQuilletLibraryId),
      .file_version = u"2.4.0.0",
  };
  return *info;
}

void RegisterQuillet() { RegisterServer(Server()); }

}  // namespace quillet

extern "C" {
QUILLET_API int32_t DllRegisterServer() {
  return quillet::RegisterServer(quillet::Server());
}
QUILLET_API int32_t DllUnregisterServer() {
  return quillet::UnregisterServer(quillet::Server());
}
QUILLET_API int32_t DllGetClassObject(const char* class_id, void** factory) {
  return quillet::GetClassObject(quillet::Server(), class_id, factory);
}
QUILLET_API int32_t DllCanUnloadNow() {
  return quillet::CanUnloadNow(quillet::Server());
}
}
