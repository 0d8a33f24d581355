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

// To be called inside `catch (const PythonError&)` around what runs as the
// body of a generator: a StopIteration leaving that body becomes
// RuntimeError "generator raised StopIteration", its cause and context the
// StopIteration, as the interpreter does for a generator; any other
// exception stays as it is. Throws on either way.
[[noreturn]] inline void rethrow_from_generator_body() {
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    Ref stop = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.ptr(), Ref::borrow(stop).release());
    PyException_SetContext(error.ptr(), stop.release());
    PyErr_SetRaisedException(error.release());
  }
  throw_python_error();
}

// `error` gains the note `make_note()` returns, as its add_note() does. A
// note is a courtesy: when it cannot be made or added (the exception's
// add_note raises, its `__notes__` is not a list), `error` stays as it was
// and that failure is dropped, so that it never takes the place of `error`.
template <class MakeNote>
void add_note(Handle error, MakeNote&& make_note) {
  try {
    error.method("add_note"_id, make_note());
  } catch (const PythonError&) {
    PyErr_Clear();
  }
}

// With a Python exception set (inside `catch (const PythonError&)`, say): it
// gains the note `make_note()` returns where it can (see add_note; the note
// is made once the exception is taken off the error indicator) and is
// thrown on, the same object, its type, message and traceback as they were.
template <class MakeNote>
[[noreturn]] void rethrow_with_note(MakeNote&& make_note) {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  add_note(error, make_note);
  PyErr_SetRaisedException(error.release());
  throw_python_error();
}

}  // namespace tools
