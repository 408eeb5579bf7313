// QUILLET_API marks the declarations that libquillet exports: the Calls
// interface and the adapter contract. The library is built with hidden
// visibility, so everything else in it (the operations' internals) stays
// inside it; a host links against this API and nothing more.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif
