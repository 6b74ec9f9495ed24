// Debug assertions: QUENLORY_ASSERT(cond) checks a precondition in a build
// made with -DQUENLORY_DEBUG (the sanitizer flavour, `make sanitize`), and
// compiles to nothing otherwise, its condition unevaluated.  A failure is a
// fatal error of the interpreter's own kind: the message, the Python stack of
// the current thread, then abort.
//
// Layer 1 (docs/architecture.md): includes ref.hpp; calls only the interpreter.
// Bound by: owners release references (ref.hpp).
#pragma once

#include "ref.hpp"

#ifdef QUENLORY_DEBUG

namespace quenlory::debug {

[[noreturn, gnu::cold]] inline void fail(const char* cond, const char* file, int line, const char* function) noexcept {
  char message[512];
  PyOS_snprintf(message, sizeof message, "quenlory: %s:%d: %s: assertion failed: %s", file, line, function, cond);
  Py_FatalError(message);
}

}  // namespace quenlory::debug

#define QUENLORY_ASSERT(cond) \
  ((cond) ? static_cast<void>(0) : ::quenlory::debug::fail(#cond, __FILE__, __LINE__, __func__))

#else

#define QUENLORY_ASSERT(cond) static_cast<void>(sizeof(static_cast<bool>(cond)))

#endif
