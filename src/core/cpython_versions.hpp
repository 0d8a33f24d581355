// What differs between the interpreter versions in support (CPython 3.11 to
// 3.15, with the global interpreter lock), kept in this one place so that no
// other file needs to know which version it is built for:
//   - backports of the newer C API calls that the core and the modules use,
//     written from the C API documentation, each named exactly like the call
//     it stands for and compiled only where the interpreter lacks it;
//   - the texts that the interpreter makes itself in the steps the modules
//     follow, where the C++ code has to make them instead, as each version
//     words them.
// core/ref.hpp includes this right after Python.h, so every file sees it.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>

// CMake refuses these interpreters already; this stops a build that bypasses it.
#if defined(Py_GIL_DISABLED)
#error "tools needs an interpreter with the global interpreter lock; this one is free-threaded"
#endif
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x03100000
#error "tools needs Python 3.11 to 3.15"
#endif

// ---------------------------------------------------------------------------
// Backports. Each keeps the contract of the call it stands for: the same
// results, the same references taken and given, the same errors set.

#if PY_VERSION_HEX < 0x030C0000
// 3.12: the raised exception as one object, not a (type, value, traceback)
// triple. Getting it normalizes the triple and puts its traceback on the
// exception, the way the interpreter does when it catches one.
PyObject* PyErr_GetRaisedException();
void PyErr_SetRaisedException(PyObject* exception);

// 3.12: a new reference to the type's namespace, the dict behind the read-only
// cls.__dict__ proxy.
inline PyObject* PyType_GetDict(PyTypeObject* type) { return Py_XNewRef(type->tp_dict); }
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13: dict[key] as a new reference in *result: 1 when found, 0 (and NULL)
// when missing, -1 (and NULL) with the error set.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
  PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
  *result = Py_XNewRef(item);
  if (item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

// 3.13: getattr(obj, name) as a new reference in *result: 1 when found, 0 (and
// NULL, no error set) on AttributeError, -1 (and NULL) on any other error.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
  *result = PyObject_GetAttr(obj, name);
  if (*result != nullptr) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// 3.13: whether a str equals a UTF-8 C string (false for one with surrogates,
// which no UTF-8 text encodes). Never raises, and leaves the error indicator
// as it found it.
int PyUnicode_EqualToUTF8(PyObject* unicode, const char* string);
#endif

namespace tools {

// The module slot that keeps a module out of interpreters other than the main
// one (3.12 made subinterpreters with a lock of their own). Before 3.12 there
// is no such slot, and an end marker stands in its place: it has to be the
// last slot of a list.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr PyModuleDef_Slot kMultipleInterpretersNotSupported{Py_mod_multiple_interpreters,
                                                                    Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#else
inline constexpr PyModuleDef_Slot kMultipleInterpretersNotSupported{0, nullptr};
#endif

// The entry of a function type's getset table for __annotate__, which 3.14
// functions carry (functools.wraps copies it in place of __annotations__).
// Before 3.14 there is no such attribute, and an end marker stands in its
// place: it has to be the last entry of a table.
constexpr PyGetSetDef annotate_getset([[maybe_unused]] getter get) {
#if PY_VERSION_HEX >= 0x030E0000
  return {"__annotate__", get, nullptr, nullptr, nullptr};
#else
  return {nullptr, nullptr, nullptr, nullptr, nullptr};
#endif
}

// ---------------------------------------------------------------------------
// The cyclic garbage collector inside allocations.
//
// Before 3.12 allocating a container object (a dict, list, tuple, an
// exception, a bound method...) can start a collection right there, and with
// it finalizers, weakref callbacks and gc.callbacks: Python code that can
// change, grow, shrink or free anything it reaches. From 3.12 on a collection
// waits for the evaluation loop, which native code only enters by calling
// Python code. A quick path that relies on no Python code running between
// two of its steps pauses the collector over that stretch on the versions
// where it can start inside an allocation, and resumes it before it runs
// code of the caller's (a hook, a nested call, a finalizer of something it
// drops), so that such code always finds the collector as the caller set it
// and may change that setting: each pause reads it anew, and the last resume
// leaves it as the caller's code last left it.
class CollectorPause {
 public:
  CollectorPause() = default;
  ~CollectorPause() { resume(); }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

  void pause() {
#if PY_VERSION_HEX < 0x030C0000
    if (!paused_) {
      enabled_ = PyGC_Disable() != 0;
      paused_ = true;
    }
#endif
  }

  void resume() {
#if PY_VERSION_HEX < 0x030C0000
    if (paused_) {
      if (enabled_) PyGC_Enable();
      paused_ = false;
    }
#endif
  }

 private:
#if PY_VERSION_HEX < 0x030C0000
  bool paused_ = false;
  bool enabled_ = false;  // the caller's setting, read at the last pause
#endif
};

// ---------------------------------------------------------------------------
// Behaviour of the standard library that native code has to match.

// Before 3.12 os.walk descends by recursion, a generator per level, so that a
// deep enough tree ends the walk in RecursionError. These are the depths its
// Python code reaches, in units of the interpreter's recursion count above
// the native code that calls os.walk(top=path) with a fresh pathlib.Path and
// iterates it (measured on 3.11): before it lists the top (the call, then
// os.fspath of the path and the path's text form, each entered from C), and
// after it has listed a folder `level` levels below the top that has
// sub-folder names (joining each name to the folder's path). 0 where os.walk
// walks without recursion.
constexpr std::size_t walk_start_depth() {
#if PY_VERSION_HEX < 0x030C0000
  return 8;
#else
  return 0;
#endif
}
constexpr std::size_t walk_depth_after([[maybe_unused]] std::size_t level) {
#if PY_VERSION_HEX < 0x030C0000
  return level + 2;
#else
  return 0;
#endif
}

// Whether the `with` statement looks up (and binds) its manager's __exit__
// before its __enter__, as 3.14 does; before 3.14 __enter__ comes first.
constexpr bool with_looks_up_exit_first() { return PY_VERSION_HEX >= 0x030E0000; }

// ---------------------------------------------------------------------------
// Texts of the running interpreter.

// Sets the ValueError of `a, b, ... = value` where `value` yields more items
// than the `expected` targets.
void set_too_many_values_to_unpack(PyObject* value, std::size_t expected);

// Sets the TypeError of `with manager:` where the type of `manager` lacks the
// special method `name` ("__enter__" or "__exit__").
void set_not_a_context_manager(PyObject* manager, const char* name);

}  // namespace tools
