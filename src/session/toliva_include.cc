#include "session/toliva_include.h"

#include "quillet/adapter.h"
#include "quillet/class_registry.h"
#include "quillet/convert.h"
#include "quillet/error.h"
#include "reporting/toliva_utilities.h"

namespace quillet::TolivaInclude {

bool BindAdapterSession(const String& component_name, Variant& manager) {
  ErrorTrap trap(u"Quillet");
  Ref<Object> session;
  try {
    session = CreateObject(adapter::kUserSessionClass);
    Variant user = String(), password = String();
    CallMethod(session.Get(), u"setUserInfo", user, password);
    CallMethod(session.Get(), u"addManager", manager);
    Variant component = component_name;
    CallMethod(RequireObject(manager), u"Initialize", component);
    session.Reset();
    return true;
  } catch (...) {
    trap.Catch();
    Variant description = CurrentError().description;
    TolivaUtilities::LogError(kBindAdapterSessionMethod, description);
    session.Reset();
    return false;
  }
}

}  // namespace quillet::TolivaInclude
