// The C boundary. Every function the interpreter calls into (vectorcall, type
// slots, getters and setters, module execution) is noexcept and runs its C++
// through `at_boundary`, so that no C++ exception ever unwinds into C:
//   - a PythonError passes through: its Python exception is already set;
//   - std::bad_alloc becomes MemoryError;
//   - any other C++ exception becomes SystemError naming the operation.
#pragma once

#include <utility>

#include "core/ref.hpp"

namespace tools {

// What was running, for the message of an unexpected exception: `name`
// followed by `detail` ("count" "()", "tools.folders.folders" " at import").
struct Operation {
  const char* name;
  const char* detail = "";
};

// Inside a catch block: makes the C++ exception being handled the pending
// Python exception, as described above.
void set_error_from_current_exception(Operation operation) noexcept;

// Runs `body`; on any exception sets the Python error and returns `failed`.
template <class Result, class Body>
Result at_boundary(Operation operation, Result failed, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception(operation);
    return failed;
  }
}

}  // namespace tools
