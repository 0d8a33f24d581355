#include "core/cpython_versions.hpp"

#include <cstring>

// ---------------------------------------------------------------------------
// Backports

#if PY_VERSION_HEX < 0x030C0000

PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  // A traceback object (or NULL) comes out of the triple, which is all that
  // setting one can refuse.
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return value;
}

void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

#endif

#if PY_VERSION_HEX < 0x030D0000

int PyUnicode_EqualToUTF8(PyObject* unicode, const char* string) {
  PyObject* pending = PyErr_GetRaisedException();
  Py_ssize_t size = 0;
  const char* encoded = PyUnicode_AsUTF8AndSize(unicode, &size);
  const bool equal = encoded != nullptr && static_cast<std::size_t>(size) == std::strlen(string) &&
                     std::memcmp(encoded, string, static_cast<std::size_t>(size)) == 0;
  if (encoded == nullptr) PyErr_Clear();
  if (pending != nullptr) PyErr_SetRaisedException(pending);
  return equal ? 1 : 0;
}

#endif

namespace tools {

// ---------------------------------------------------------------------------
// Texts of the running interpreter

#if PY_VERSION_HEX >= 0x030E0000

namespace {

// Whether `type` or a base in its method resolution order holds `name`, and
// it is something that binds like a method (has __get__). Lookup errors
// count as absent, since the answer only picks a message.
bool type_has_special_method(PyTypeObject* type, const char* name) {
  PyObject* order = type->tp_mro;
  if (order == nullptr) return false;
  Py_INCREF(order);
  bool found = false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order) && !found; ++i) {
    PyObject* names = PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(order, i)));
    PyObject* value = nullptr;
    const int status = names != nullptr ? PyDict_GetItemStringRef(names, name, &value) : -1;
    Py_XDECREF(names);
    if (status < 0) {
      PyErr_Clear();
      break;
    }
    found = status == 1 && Py_TYPE(value)->tp_descr_get != nullptr;
    Py_XDECREF(value);
    if (status == 1) break;
  }
  Py_DECREF(order);
  return found;
}

}  // namespace

#endif

void set_too_many_values_to_unpack([[maybe_unused]] PyObject* value, std::size_t expected) {
#if PY_VERSION_HEX >= 0x030E0000
  // 3.14 adds the length of an exact list, tuple or dict, read once the
  // extra item has been seen.
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
    const Py_ssize_t length = PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) : Py_SIZE(value);
    if (length > static_cast<Py_ssize_t>(expected)) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu, got %zd)", expected, length);
      return;
    }
  }
#endif
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
}

void set_not_a_context_manager(PyObject* manager, const char* name) {
#if PY_VERSION_HEX >= 0x030E0000
  // 3.14 names the missing method and the type by its qualified name, and
  // points to `async with` where the type has both of that protocol's methods.
  if (type_has_special_method(Py_TYPE(manager), "__aenter__") &&
      type_has_special_method(Py_TYPE(manager), "__aexit__")) {
    PyErr_Format(PyExc_TypeError,
                 "'%T' object does not support the context manager protocol (missed %s method) but it supports the "
                 "asynchronous context manager protocol. Did you mean to use 'async with'?",
                 manager, name);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %s method)", manager,
               name);
#else
  // Only a missing __exit__ is named.
  if (std::strcmp(name, "__exit__") == 0) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                 Py_TYPE(manager)->tp_name);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
               Py_TYPE(manager)->tp_name);
#endif
}

}  // namespace tools
