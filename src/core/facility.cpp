#include "core/facility.hpp"

#include <cstddef>
#include <vector>

#include "core/boundary.hpp"

namespace tools {

namespace {

struct OperationObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* function;  // what is called
  PyObject* dict;      // what functools.wraps copied, `__wrapped__` and `logger`
  PyObject* weakrefs;
};

OperationObject* as_operation(PyObject* self) { return reinterpret_cast<OperationObject*>(self); }

// Names that the type's slots use, made with the types: the slots are
// noexcept, and make nothing that could fail.
PyObject* logger_name = nullptr;
PyObject* qualname_name = nullptr;

// The position of the keyword `logger` among a call's keyword names, or -1.
Py_ssize_t logger_keyword(PyObject* kwnames) {
  PyObject* logger = logger_name;
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(kwnames, i) == logger) return i;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, i), logger) == 0) return i;
  }
  return -1;
}

// The call with the keyword argument at `dropped` left out.
Ref call_without(PyObject* function, PyObject* const* args, std::size_t nargsf, PyObject* kwnames, Py_ssize_t dropped) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
  // Slot 0 stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
  std::vector<PyObject*> stack(static_cast<std::size_t>(positional + keywords));
  Ref names = Ref::steal(PyTuple_New(keywords - 1));
  std::size_t slot = 1;
  for (Py_ssize_t i = 0; i < positional; ++i) stack[slot++] = args[i];
  for (Py_ssize_t k = 0, kept = 0; k < keywords; ++k) {
    if (k == dropped) continue;
    PyTuple_SET_ITEM(names.ptr(), kept++, Py_NewRef(PyTuple_GET_ITEM(kwnames, k)));
    stack[slot++] = args[positional + k];
  }
  return Ref::steal(PyObject_Vectorcall(function, stack.data() + 1,
                                        static_cast<std::size_t>(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        keywords > 1 ? names.ptr() : nullptr));
}

PyObject* operation_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  PyObject* function = as_operation(self)->function;
  const Py_ssize_t dropped = kwnames != nullptr ? logger_keyword(kwnames) : -1;
  if (dropped < 0) return PyObject_Vectorcall(function, args, nargsf, kwnames);
  return at_boundary({"a decorated operation", "()"}, static_cast<PyObject*>(nullptr),
                     [&] { return call_without(function, args, nargsf, kwnames, dropped).release(); });
}

// Through an instance, a method of it, as a function is.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* operation_repr(PyObject* self) noexcept {
  PyObject* dict = as_operation(self)->dict;
  PyObject* qualname = dict != nullptr ? PyDict_GetItemWithError(dict, qualname_name) : nullptr;
  if (qualname != nullptr && PyUnicode_Check(qualname))
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
  if (PyErr_Occurred()) return nullptr;
  return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, self);
}

int operation_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_operation(self)->function);
  Py_VISIT(as_operation(self)->dict);
  return 0;
}

int operation_clear(PyObject* self) noexcept {
  Py_CLEAR(as_operation(self)->function);
  Py_CLEAR(as_operation(self)->dict);
  return 0;
}

void operation_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  if (as_operation(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  operation_clear(self);
  PyObject_GC_Del(self);
}

PyGetSetDef operation_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_operation_type(const char* name, bool binds) {
  PyTypeObject t{};
  Py_SET_REFCNT(&t, 1);
  t.tp_name = name;
  t.tp_basicsize = sizeof(OperationObject);
  t.tp_dealloc = operation_dealloc;
  t.tp_vectorcall_offset = offsetof(OperationObject, vectorcall);
  t.tp_repr = operation_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
               Py_TPFLAGS_DISALLOW_INSTANTIATION | (binds ? Py_TPFLAGS_METHOD_DESCRIPTOR : 0);
  t.tp_doc = "An operation decorated by the logging facility of the tools package.";
  t.tp_traverse = operation_traverse;
  t.tp_clear = operation_clear;
  t.tp_weaklistoffset = offsetof(OperationObject, weakrefs);
  t.tp_getset = operation_getset;
  t.tp_descr_get = binds ? method_descr_get : nullptr;
  t.tp_dictoffset = offsetof(OperationObject, dict);
  return t;
}

// The type of a decorated function, which binds as a method through an
// instance (and, as functions do, is called with the instance in front, no
// bound method in between), or of a staticmethod's function, which is only
// ever reached as itself.
PyTypeObject* operation_type(bool binds) {
  static PyTypeObject static_type = make_operation_type("tools.facility.Operation", false);
  static PyTypeObject method_type = make_operation_type("tools.facility.Method", true);
  static bool ready = false;
  if (!ready) {
    logger_name = "logger"_id.get();
    qualname_name = "__qualname__"_id.get();
    check(PyType_Ready(&static_type));
    check(PyType_Ready(&method_type));
    ready = true;
  }
  return binds ? &method_type : &static_type;
}

PyObject* decorate(PyObject* logger, PyObject* target) noexcept {
  return at_boundary({"decorator", "()"}, static_cast<PyObject*>(nullptr),
                     [&] { return decorated_operation(target, logger).release(); });
}

PyMethodDef decorate_method = {"decorator", decorate, METH_O, "Decorates one operation for its logger."};

}  // namespace

Ref decorator_with(Handle logger) { return Ref::steal(PyCFunction_New(&decorate_method, logger.ptr())); }

Ref decorated_operation(Handle target, Handle logger) {
  const bool is_static = PyObject_TypeCheck(target.ptr(), &PyStaticMethod_Type);
  Ref function = is_static ? target.attr("__func__"_id) : Ref::borrow(target);
  OperationObject* made = PyObject_GC_New(OperationObject, operation_type(!is_static));
  if (made == nullptr) throw_python_error();
  made->vectorcall = operation_vectorcall;
  made->function = Ref::borrow(function).release();
  made->dict = nullptr;
  made->weakrefs = nullptr;
  Ref operation = Ref::steal(reinterpret_cast<PyObject*>(made));
  PyObject_GC_Track(made);

  Ref functools = Ref::steal(PyImport_ImportModule("functools"));
  functools.attr("update_wrapper"_id)(operation, function);
  // functools.wraps copies the annotations themselves up to 3.13, and the
  // function that makes them from 3.14 on; both, whichever it is.
  PyObject* annotations = nullptr;
  check(PyObject_GetOptionalAttr(function.ptr(), "__annotations__"_id.get(), &annotations));
  if (annotations != nullptr) {
    Ref owned = Ref::steal(annotations);
    check(PyObject_SetAttr(operation.ptr(), "__annotations__"_id.get(), annotations));
  }
  check(PyObject_SetAttr(operation.ptr(), "logger"_id.get(), logger.ptr()));
  if (!is_static) return operation;
  return Handle(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(operation);
}

}  // namespace tools
