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

}  // namespace tools
