// A thread's hook on creation by class name. While installed, CreateObject on
// that thread hands the creation to the hook, which runs `make` (the
// factory, with the registry's own errors) and may answer another object in
// its place: the adapter trace wraps what Quillet creates this way. With no
// hook installed, creation costs one thread-local read more. The hook also
// hears of the calls a component chose not to make (NoteWithheld), so that
// whoever watches the outside world sees them without the component knowing
// who watches.
#pragma once

#include <functional>
#include <initializer_list>

#include "quillet/variant.h"

namespace quillet::runtime {

class CreationHook {
 public:
  virtual Ref<Object> Create(StringView class_name,
                             const std::function<Ref<Object>()>& make) = 0;
  virtual void Withheld(StringView class_name, StringView member,
                        std::initializer_list<const Variant*> arguments) = 0;

 protected:
  ~CreationHook() = default;
};

// Installs `hook` on the calling thread (nullptr removes it) and answers the
// one installed before.
CreationHook* InstallCreationHook(CreationHook* hook);

// Tells the calling thread's hook, if one is installed, of a call to
// `member` of an object of `class_name` that was not made (a dry run or a
// replay keeps it back).
void NoteWithheld(StringView class_name, StringView member,
                  std::initializer_list<const Variant*> arguments);

}  // namespace quillet::runtime
