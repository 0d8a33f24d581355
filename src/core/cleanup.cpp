#include "core/cleanup.hpp"

namespace tools {

PendingException::PendingException() : exception_(Ref::steal(PyErr_GetRaisedException())), handled_(exception_) {}

void PendingException::reraise() {
  PyErr_SetRaisedException(exception_.release());
  throw_python_error();
}

namespace {

// The special-method lookup of the `with` statement: on the type, then bound.
Ref lookup_special(Handle object, Name name) {
  Ref attribute = lookup_on_type(object.type(), name.get());
  if (attribute.is_null()) return attribute;
  if (descrgetfunc get = attribute.type()->tp_descr_get) {
    return Ref::steal(get(attribute.ptr(), object.ptr(), reinterpret_cast<PyObject*>(object.type())));
  }
  return attribute;
}

}  // namespace

ContextManager::ContextManager(Handle manager) {
  Ref enter = lookup_special(manager, "__enter__"_id);
  if (enter.is_null()) {
    raise_error(PyExc_TypeError, "'%.200s' object does not support the context manager protocol", manager.type_name());
  }
  exit_ = lookup_special(manager, "__exit__"_id);
  if (exit_.is_null()) {
    raise_error(PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                manager.type_name());
  }
  value_ = enter();
}

void ContextManager::exit() { exit_(Py_None, Py_None, Py_None); }

bool ContextManager::exit(Handle exception) {
  Ref traceback = Ref::steal_or_null(PyException_GetTraceback(exception.ptr()));
  Handle shown_traceback = traceback.is_null() ? Handle(Py_None) : Handle(traceback);
  Handle type = reinterpret_cast<PyObject*>(exception.type());
  return exit_(type, exception, shown_traceback).truth();
}

}  // namespace tools
