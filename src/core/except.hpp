// Catching Python exceptions by type in C++ code, the way an `except` clause
// does: only matching exceptions are handled, everything else unwinds on.
#pragma once

#include "core/ref.hpp"

namespace tools {

// To be called inside `catch (const PythonError&)`. When the pending
// exception is an instance of `type` (subclasses included), it is taken off
// the error indicator and handed back, as `except type as exc` would bind it;
// any other exception stays set and is thrown on as a new PythonError.
inline Ref except(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) throw_python_error();
  return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace tools
