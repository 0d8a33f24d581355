// Native recursion that cannot run out of stack.
//
// The interpreter counts C-level recursion against a fixed budget
// (Py_EnterRecursiveCall), but that budget assumes small frames and a full
// size thread stack: a thread started with a small threading.stack_size(), or
// a build whose frames are larger (sanitizers), can run out of native stack
// first and crash. StackGuard checks both, and ends a too-deep recursion with
// the interpreter's own RecursionError either way.
#pragma once

#include "core/ref.hpp"

namespace tools {

// The current thread's native stack: its lowest address, and the floor below
// which deep native recursion has to stop, leaving a reserve for the
// interpreter and for raising the error. Both null when the bounds cannot be
// found (then the interpreter's count alone applies).
struct StackLimit {
  const char* lowest = nullptr;
  const char* floor = nullptr;

  // Whether a frame at `address` lies in the reserve. Code running on a stack
  // of its own (coroutine libraries) is outside these bounds and not judged.
  bool in_reserve(const void* address) const {
    const char* frame = static_cast<const char*>(address);
    return frame < floor && frame >= lowest;
  }
};

// Looked up once per thread.
const StackLimit& native_stack_limit();

// One level of native recursion. `limit` is native_stack_limit(), looked up
// once by the caller for a whole walk.
class StackGuard {
 public:
  explicit StackGuard(const StackLimit& limit) {
    if (limit.in_reserve(__builtin_frame_address(0))) raise_depth_exceeded();
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw_python_error();
  }
  ~StackGuard() { Py_LeaveRecursiveCall(); }
  StackGuard(const StackGuard&) = delete;
  StackGuard& operator=(const StackGuard&) = delete;

 private:
  [[noreturn]] static void raise_depth_exceeded();
};

}  // namespace tools
