// QUILLET_API marks the declarations that libquillet exports (the Calls
// interface and the adapter contract) and those that libquillet_standins
// exports (registering and configuring the embedded back end, the file log
// and the transaction host: quillet/standins/*.h). Both libraries are built
// with hidden visibility, so everything else in them (the operations'
// internals, the back end's rules and engines) stays inside them; a host
// links against this API and nothing more.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif
