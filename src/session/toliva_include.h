// BindAdapterSession: attaches a service-call manager to a fresh adapter
// session and initialises it for an application component.
#pragma once

#include "quillet/variant.h"

namespace quillet::TolivaInclude {

// The method name under which binding failures are logged.
inline constexpr StringView kBindAdapterSessionMethod =
    u"Quillet.TolivaInclude.BindAdapterSession";

// Creates an adapter session ("Holmfast.Adapter.Boi.UserSession"), calls its
// setUserInfo("", ""), its addManager(manager) and then Initialize(component)
// on the object `manager` holds, all by name. Answers true when every step
// succeeded. A failure is logged through LogError, with its description as
// the additional information, and answered with false; only a failure of the
// log component itself escapes as an Error. The session is released before
// returning on every path; `manager` is never assigned.
bool BindAdapterSession(const String& component_name, Variant& manager);

}  // namespace quillet::TolivaInclude
