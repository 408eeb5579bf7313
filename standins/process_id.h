// This process's id without a system call: glibc asks the kernel on every
// getpid(), and the store pool asks on every store taken and handed back.
// The id is read once and read again in a child after fork().
#pragma once

#include <sys/types.h>

namespace quillet::standins {

pid_t ProcessId();

}  // namespace quillet::standins
