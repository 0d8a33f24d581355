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

// The lowest address the current thread's native stack may reach before deep
// native recursion has to stop, leaving a reserve for the interpreter and for
// raising the error; nullptr when the stack's bounds cannot be found (then the
// interpreter's count alone applies). Looked up once per thread.
const char* native_stack_floor();

// One level of native recursion. `floor` is native_stack_floor(), looked up
// once by the caller for a whole walk.
class StackGuard {
 public:
  explicit StackGuard(const char* floor) {
    if (floor != nullptr && static_cast<const char*>(__builtin_frame_address(0)) < floor) raise_depth_exceeded();
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw_python_error();
  }
  ~StackGuard() { Py_LeaveRecursiveCall(); }
  StackGuard(const StackGuard&) = delete;
  StackGuard& operator=(const StackGuard&) = delete;

 private:
  [[noreturn]] static void raise_depth_exceeded();
};

}  // namespace tools
