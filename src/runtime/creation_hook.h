// A thread's hook on creation by class name. While installed, CreateObject on
// that thread hands the creation to the hook, which runs `make` (the
// factory, with the registry's own errors) and may answer another object in
// its place: the adapter trace wraps what Quillet creates this way. With no
// hook installed, creation costs one thread-local read more.
#pragma once

#include <functional>

#include "quillet/variant.h"

namespace quillet::runtime {

class CreationHook {
 public:
  virtual Ref<Object> Create(StringView class_name,
                             const std::function<Ref<Object>()>& make) = 0;

 protected:
  ~CreationHook() = default;
};

// Installs `hook` on the calling thread (nullptr removes it) and answers the
// one installed before.
CreationHook* InstallCreationHook(CreationHook* hook);

}  // namespace quillet::runtime
