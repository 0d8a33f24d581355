#include "core/cleanup.hpp"

#include <utility>

namespace tools {

// The handled exception is swapped on the thread's current exception-stack
// entry and put back verbatim afterwards, as the interpreter's PUSH_EXC_INFO
// and POP_EXCEPT do; the public getter would report an outer entry and
// restoring that would leak it into a running generator's state.
PendingException::PendingException()
    : thread_(PyThreadState_Get()), exception_(Ref::steal(PyErr_GetRaisedException())) {
  previous_ = std::exchange(thread_->exc_info->exc_value, Py_NewRef(exception_.ptr()));
}

PendingException::~PendingException() { Py_XSETREF(thread_->exc_info->exc_value, previous_); }

void PendingException::reraise() {
  PyErr_SetRaisedException(exception_.release());
  throw_python_error();
}

namespace {

// The special-method lookup of the `with` statement: on the type, then bound.
Ref lookup_special(Handle object, Name name) {
  PyObject* found = _PyType_LookupRef(object.type(), name.get());
  if (found == nullptr) return Ref();
  Ref attribute = Ref::steal(found);
  if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
    return Ref::steal(get(found, object.ptr(), reinterpret_cast<PyObject*>(object.type())));
  }
  return attribute;
}

}  // namespace

ContextManager::ContextManager(Handle manager) {
  Ref enter = lookup_special(manager, "__enter__"_id);
  if (enter.is_null()) {
    raise_error(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                manager.type_name());
  }
  exit_ = lookup_special(manager, "__exit__"_id);
  if (exit_.is_null()) {
    raise_error(PyExc_TypeError, "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
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
