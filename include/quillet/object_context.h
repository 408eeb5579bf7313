// The transaction-server object context.
//
// GetObjectContext() answers the context that a host has entered on the
// calling thread, or Nothing outside one. A context's CreateInstance creates
// a component by class name that joins the context: the new object, when it
// implements ContextMember, is told the context's identity before it is
// handed out.
#pragma once

#include "quillet/variant.h"

namespace quillet {

class ObjectContext : public Object {
 public:
  // The context's identity, for the record of the objects that join it.
  virtual String Identity() const = 0;
  // Creates by class name through the class registry; errors as CreateObject.
  virtual Ref<Object> CreateInstance(StringView class_name) = 0;
};

// Implemented by components that care which context they joined.
class ContextMember {
 public:
  virtual void JoinContext(const ObjectContext& context) = 0;

 protected:
  ~ContextMember() = default;
};

// Nothing unless a context was entered on this thread.
Ref<ObjectContext> GetObjectContext();

// Enters `context` on the calling thread for the life of the scope, and
// leaves it (restoring any outer context) after.
class ObjectContextScope {
 public:
  explicit ObjectContextScope(Ref<ObjectContext> context);
  ~ObjectContextScope();
  ObjectContextScope(const ObjectContextScope&) = delete;
  ObjectContextScope& operator=(const ObjectContextScope&) = delete;

 private:
  Ref<ObjectContext> previous_;
};

}  // namespace quillet
