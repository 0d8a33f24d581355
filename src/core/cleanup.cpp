#include "core/cleanup.hpp"

namespace tools {

PendingException::PendingException() : exception_(Ref::steal(PyErr_GetRaisedException())), handled_(exception_) {}

void PendingException::reraise() {
  PyErr_SetRaisedException(exception_.release());
  throw_python_error();
}

namespace {

// The special-method lookup of the `with` statement: on the type, then bound;
// the interpreter's TypeError when the type lacks it.
Ref lookup_special(Handle object, Name name, const char* shown) {
  Ref attribute = lookup_on_type(object.type(), name.get());
  if (attribute.is_null()) {
    set_not_a_context_manager(object.ptr(), shown);
    throw_python_error();
  }
  if (descrgetfunc get = attribute.type()->tp_descr_get) {
    return Ref::steal(get(attribute.ptr(), object.ptr(), reinterpret_cast<PyObject*>(object.type())));
  }
  return attribute;
}

}  // namespace

ContextManager::ContextManager(Handle manager) {
  // Both methods are found before either is called, in the running version's order.
  Ref enter;
  if (!with_looks_up_exit_first()) enter = lookup_special(manager, "__enter__"_id, "__enter__");
  exit_ = lookup_special(manager, "__exit__"_id, "__exit__");
  if (enter.is_null()) enter = lookup_special(manager, "__enter__"_id, "__enter__");
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
