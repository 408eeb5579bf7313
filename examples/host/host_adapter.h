// A host's own back-end adapter, as a host registers it in place of the
// embedded back end. Every outside system Quillet talks to is created by
// class name through the class registry, so a host registers its own
// classes under those names and Quillet uses them with no change. This
// adapter prints what it is sent and answers a fixed record; a real one
// would talk to the ERP.
//
// How it fails says what its failure means, through the object context
// (quillet/object_context.h): a call whose SOLDTOBP is "ERP-LOCKED" finds
// the ERP busy (NoteRetryLater: nothing stored, try again), one whose
// SOLDTOBP is "ERP-SILENT" was sent and got no answer (NoteOutcomeUnknown:
// it may or may not be stored). The host acts on that, not on the words.
#pragma once

#include "quillet/adapter.h"

namespace host {

// The SOLDTOBP values for which the stand-in ERP fails.
inline constexpr const char16_t* kErpLocked = u"ERP-LOCKED";
inline constexpr const char16_t* kErpSilent = u"ERP-SILENT";
// The error number the adapter raises for a failed submit.
inline constexpr int32_t kErpError = 1001;

// The adapter's classes under the adapter's class names.
quillet::adapter::AdapterFactories HostAdapterClasses();
// Registers them (adapter::RegisterAdapter).
void RegisterHostAdapter();

}  // namespace host
