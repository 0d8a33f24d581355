#include "core/ref.hpp"

#include <cstdarg>

namespace tools {

void raise_error(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_python_error();
}

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw_python_error();
  return name;
}

Py_ssize_t Handle::size() const {
  Py_ssize_t size = PyObject_Size(ptr_);
  if (size < 0) throw_python_error();
  return size;
}

Ref Handle::attr(Name name) const { return Ref::steal(PyObject_GetAttr(ptr_, name.get())); }
Ref Handle::attr(Handle name) const { return Ref::steal(PyObject_GetAttr(ptr_, name.ptr())); }
Ref Handle::str() const { return Ref::steal(PyObject_Str(ptr_)); }
Ref Handle::format() const { return Ref::steal(PyObject_Format(ptr_, nullptr)); }
Ref Handle::iter() const { return Ref::steal(PyObject_GetIter(ptr_)); }
Ref Handle::operator/(Handle other) const { return Ref::steal(PyNumber_TrueDivide(ptr_, other.ptr_)); }

bool has_only_str_keys(Handle dict) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  while (PyDict_Next(dict.ptr(), &position, &key, nullptr)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

Ref lookup_on_type(PyTypeObject* type, Handle name) {
  if (type->tp_mro == nullptr) return Ref();
  Ref order = Ref::borrow(type->tp_mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.ptr()); ++i) {
    Ref names = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(order.ptr(), i))));
    PyObject* found = nullptr;
    if (check(PyDict_GetItemRef(names.ptr(), name.ptr(), &found)) == 1) return Ref::steal(found);
  }
  return Ref();
}

bool Handle::equals(Handle other) const { return check(PyObject_RichCompareBool(ptr_, other.ptr_, Py_EQ)) != 0; }

namespace detail {

namespace {

Ref keyword_names(PyObject* const* names, std::size_t keywords) {
  if (keywords == 0) return Ref();
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords)));
  for (std::size_t i = 0; i < keywords; ++i) PyTuple_SET_ITEM(tuple.ptr(), i, Py_NewRef(names[i]));
  return tuple;
}

}  // namespace

Ref vectorcall(PyObject* callable, PyObject** stack, std::size_t positional, PyObject* const* names,
               std::size_t keywords) {
  Ref kwnames = keyword_names(names, keywords);
  return Ref::steal(
      PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

Ref vectorcall_method(PyObject* name, PyObject** stack, std::size_t positional, PyObject* const* names,
                      std::size_t keywords) {
  Ref kwnames = keyword_names(names, keywords);
  return Ref::steal(PyObject_VectorcallMethod(name, stack, positional + 1, kwnames.ptr()));
}

}  // namespace detail

void raise_unpack_error(Handle value, std::size_t expected, Py_ssize_t got) {
  // `got` is negative when an iterator had more items than expected.
  if (got < 0 || static_cast<std::size_t>(got) > expected) {
    set_too_many_values_to_unpack(value.ptr(), expected);
    throw_python_error();
  }
  raise_error(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zd)", expected, got);
}

}  // namespace tools
