// The native function type, laid out like the interpreter's own functions:
// vectorcall for speed, a tp_call that also sees keyword dictionaries, a
// writable __dict__ for decorators, descriptor binding for use as a method,
// and the introspection attributes that inspect and help() read.
#include "core/function.hpp"

#include <cstddef>
#include <string>

#include "core/boundary.hpp"
#include "core/except.hpp"

namespace tools {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDecl* decl;
  PyObject* globals;      // the module's namespace, for call-time lookups
  PyObject* name;         // __name__
  PyObject* qualname;     // __qualname__
  PyObject* module;       // __module__
  PyObject* doc;          // __doc__
  PyObject* annotations;  // __annotations__: parameter name -> annotation text
  PyObject* defaults;     // __defaults__, or NULL when no parameter has one
  PyObject* names;        // interned parameter names, for keyword matching
  PyObject* dict;
  PyObject* weakrefs;
  bool decorated;  // by the application's logging facility
};

namespace {

constexpr const char* kNote = "Subclasses of built-in types are rejected: pass an exact instance of the expected type.";

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* name_of(FunctionObject* function) {
  const char* name = PyUnicode_AsUTF8(function->name);
  if (name == nullptr) throw_python_error();
  return name;
}

// ---------------------------------------------------------------------------
// Argument binding.

[[noreturn]] void raise_count(FunctionObject* function, Py_ssize_t least, Py_ssize_t most, Py_ssize_t given) {
  Py_ssize_t expected = given < least ? least : most;
  const char* more_or_less = least == most ? "exactly" : given < least ? "at least" : "at most";
  raise_error(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_of(function),
              more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t required_count(const FunctionDecl& decl) {
  Py_ssize_t count = 0;
  for (const Param& param : decl.params) count += param.fallback.kind == Default::Kind::Required;
  return count;
}

Py_ssize_t find_param(FunctionObject* function, PyObject* keyword) {
  Py_ssize_t count = PyTuple_GET_SIZE(function->names);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(function->names, i) == keyword) return i;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(function->names, i), keyword, Py_EQ);
    if (equal < 0) throw_python_error();
    if (equal) return i;
  }
  return -1;
}

PyObject* default_of(FunctionObject* function, std::size_t index) {
  std::size_t first_default = function->decl->params.size() - PyTuple_GET_SIZE(function->defaults);
  return PyTuple_GET_ITEM(function->defaults, index - first_default);
}

// The first keyword that named no parameter still free: one that names no
// parameter at all, or one already given by position.
[[noreturn]] void raise_left_over_keyword(FunctionObject* function, PyObject* kwnames, Py_ssize_t given) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = find_param(function, keyword);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_of(function), keyword);
      if (function->decorated && PyUnicode_Check(keyword) && PyUnicode_EqualToUTF8(keyword, "logger")) {
        rethrow_with_note([&] {
          return Ref::steal(PyUnicode_FromFormat(
              "the application's logging decorator handed the keyword 'logger' on to %s() instead of dropping it: "
              "every decorated operation accepts 'logger' and must not pass it to the function it wraps (see \"The "
              "logging facility your application provides\" in the tools README)",
              name_of(function)));
        });
      }
      throw_python_error();
    }
    if (index < given) {
      raise_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_of(function), keyword);
    }
  }
  raise_error(PyExc_SystemError, "%s(): a keyword argument was left over", name_of(function));
}

// Places the arguments of one call into `values` (borrowed references, in
// parameter order), then applies the entry conversions and checks. The
// parameters after the positional arguments are taken by name in order, and
// a missing required one is reported before any keyword left over.
void bind(FunctionObject* function, PyObject* const* args, Py_ssize_t given, PyObject* kwnames, PyObject** values) {
  const FunctionDecl& decl = *function->decl;
  const auto count = static_cast<Py_ssize_t>(decl.params.size());
  const Py_ssize_t required = required_count(decl);
  if (given > count) raise_count(function, required, count, given);
  for (Py_ssize_t i = 0; i < count; ++i) values[i] = i < given ? args[i] : nullptr;

  Py_ssize_t taken = 0;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    Py_ssize_t index = find_param(function, PyTuple_GET_ITEM(kwnames, k));
    if (index < given) continue;  // left over: reported once every parameter is bound
    values[index] = args[given + k];
    ++taken;
  }
  for (Py_ssize_t i = given; i < count; ++i) {
    if (values[i] != nullptr) continue;
    if (i < required) raise_count(function, required, count, i);
    values[i] = default_of(function, i);
  }
  if (taken < keywords) raise_left_over_keyword(function, kwnames, given);

  // Truth values first, then the exact-type checks, each in parameter order.
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Param& param = decl.params[i];
    if (param.check == Check::TruthOrDefault && values[i] == Py_None) values[i] = default_of(function, i);
    if (param.check == Check::Truth || param.check == Check::TruthOrDefault) {
      values[i] = check(PyObject_IsTrue(values[i])) ? Py_True : Py_False;
    }
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Param& param = decl.params[i];
    if (param.check == Check::ExactOrDefault && values[i] == Py_None) values[i] = default_of(function, i);
    if (param.check != Check::Exact && param.check != Check::ExactOrDefault) continue;
    if (Py_IS_TYPE(values[i], param.type)) continue;
    if (values[i] == Py_None && param.fallback.kind == Default::Kind::None) continue;
    raise_argument_type(param.name, param.type, values[i]);
  }
}

Operation operation_of(FunctionObject* function, const char* detail = "()") {
  return {function->decl->name.data(), detail};
}

PyObject* call_function(FunctionObject* function, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) noexcept {
  return at_boundary(operation_of(function), static_cast<PyObject*>(nullptr), [&] {
    PyObject* values[kMaxParams];
    bind(function, args, given, kwnames, values);
    RecursionGuard guard;
    Call call(function);
    Ref result = function->decl->body(call, values);
    if (function->decl->returns_exact != nullptr) check_result_type(function->decl->returns_exact, result);
    return result.release();
  });
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  return call_function(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Calls that arrive with a keyword dictionary (for example through
// `f.__call__(**kwargs)`): the keys are checked here, because nothing
// before us has done it on that path.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  FunctionObject* function = as_function(self);
  Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    return call_function(function, &PyTuple_GET_ITEM(args, 0), given, nullptr);
  }
  return at_boundary(operation_of(function), static_cast<PyObject*>(nullptr), [&] {
    Py_ssize_t keywords = PyDict_GET_SIZE(kwargs);
    Ref stack = Ref::steal(PyTuple_New(given + keywords));
    Ref kwnames = Ref::steal(PyTuple_New(keywords));
    for (Py_ssize_t i = 0; i < given; ++i) PyTuple_SET_ITEM(stack.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t k = 0; PyDict_Next(kwargs, &position, &key, &value); ++k) {
      if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, "%.200s() keywords must be strings", name_of(function));
      PyTuple_SET_ITEM(kwnames.ptr(), k, Py_NewRef(key));
      PyTuple_SET_ITEM(stack.ptr(), given + k, Py_NewRef(value));
    }
    return call_function(function, &PyTuple_GET_ITEM(stack.ptr(), 0), given, kwnames.ptr());
  });
}

// ---------------------------------------------------------------------------
// Attributes.

PyObject* get_slot(PyObject* value) noexcept { return Py_NewRef(value != nullptr ? value : Py_None); }

int set_text(PyObject** slot, PyObject* value, const char* what) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return get_slot(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return get_slot(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_text(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_module(PyObject* self, void*) noexcept { return get_slot(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
  return 0;
}
PyObject* get_doc(PyObject* self, void*) noexcept { return get_slot(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
  return 0;
}
PyObject* get_annotations(PyObject* self, void*) noexcept { return get_slot(as_function(self)->annotations); }
PyObject* get_defaults(PyObject* self, void*) noexcept { return get_slot(as_function(self)->defaults); }
// The module's namespace, read-only as a Python function's: what
// typing.get_type_hints() evaluates the annotation texts in.
PyObject* get_globals(PyObject* self, void*) noexcept { return get_slot(as_function(self)->globals); }

// inspect.Signature of the declaration, so that inspect.signature() and
// help() show the parameters, defaults and annotation texts.
PyObject* get_signature(PyObject* self, void*) noexcept {
  FunctionObject* function = as_function(self);
  return at_boundary(operation_of(function, "().__signature__"), static_cast<PyObject*>(nullptr), [&] {
    const FunctionDecl& decl = *function->decl;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = inspect.attr("Parameter"_id);
    Ref kind = parameter.attr("POSITIONAL_OR_KEYWORD"_id);
    Ref empty = parameter.attr("empty"_id);
    Ref parameters = new_list();
    for (std::size_t i = 0; i < decl.params.size(); ++i) {
      const Param& param = decl.params[i];
      Ref annotation = param.annotation.empty() ? Ref::borrow(empty) : text(param.annotation);
      Handle fallback = param.fallback.kind == Default::Kind::Required ? Handle(empty) : default_of(function, i);
      append(parameters, parameter(PyTuple_GET_ITEM(function->names, i), kind, Kw{"default"_id, fallback},
                                   Kw{"annotation"_id, annotation}));
    }
    Ref returns = decl.returns.empty() ? Ref::borrow(empty) : text(decl.returns);
    return inspect.attr("Signature"_id)(parameters, Kw{"return_annotation"_id, returns}).release();
  });
}

// __annotate__(format), where functions have it (see annotate_getset): the
// annotation texts, which read the same in each format annotationlib asks
// for (VALUE, FORWARDREF, STRING); the format it keeps for annotate
// functions run with stand-in globals is refused, as Python functions refuse
// the ones they cannot give.
PyObject* annotate(PyObject* self, PyObject* format) noexcept {
  constexpr long kValue = 1;
  constexpr long kForwardRef = 3;
  constexpr long kString = 4;
  const long asked = PyLong_AsLong(format);
  if (asked == -1 && PyErr_Occurred()) return nullptr;
  if (asked != kValue && asked != kForwardRef && asked != kString) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
  }
  return PyDict_Copy(as_function(self)->annotations);
}

PyMethodDef annotate_method = {"__annotate__", annotate, METH_O, nullptr};

PyObject* get_annotate(PyObject* self, void*) noexcept { return PyCFunction_New(&annotate_method, self); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    annotate_getset(get_annotate),  // last: on some versions an end marker
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by reference, as the interpreter's own functions are: a
// reduction to the qualified name makes pickle store the module and that
// name, and makes copy and deepcopy hand back the function itself.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return get_slot(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Life cycle.

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* function = as_function(self);
  Py_VISIT(function->globals);
  Py_VISIT(function->name);
  Py_VISIT(function->qualname);
  Py_VISIT(function->module);
  Py_VISIT(function->doc);
  Py_VISIT(function->annotations);
  Py_VISIT(function->defaults);
  Py_VISIT(function->names);
  Py_VISIT(function->dict);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* function = as_function(self);
  Py_CLEAR(function->globals);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->module);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->names);
  Py_CLEAR(function->dict);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds like a Python function: through an instance it becomes a method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyTypeObject* function_type() {
  static PyTypeObject type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "tools.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_doc = "A native operation of the tools package.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
  }();
  static bool ready = false;
  if (!ready) {
    check(PyType_Ready(&type));
    ready = true;
  }
  return &type;
}

Ref default_value(const Default& fallback) {
  switch (fallback.kind) {
    case Default::Kind::None:
      return none();
    case Default::Kind::True:
      return boolean(true);
    case Default::Kind::False:
      return boolean(false);
    case Default::Kind::Text:
      return text(fallback.text);
    case Default::Kind::Required:
      break;
  }
  return Ref();
}

}  // namespace

// ---------------------------------------------------------------------------

Ref Call::global_or_null(Name name) const {
  PyObject* value = nullptr;
  if (check(PyDict_GetItemRef(function_->globals, name.get(), &value)) == 0) {
    if (check(PyDict_GetItemRef(PyEval_GetBuiltins(), name.get(), &value)) == 0) return Ref();
  }
  return Ref::steal(value);
}

Ref Call::global(Name name) const {
  Ref value = global_or_null(name);
  if (value.is_null()) raise_error(PyExc_NameError, "name '%U' is not defined", name.get());
  return value;
}

Handle Call::globals() const { return function_->globals; }
Handle Call::function() const { return reinterpret_cast<PyObject*>(function_); }

Ref make_function(const FunctionDecl& decl, Handle module, std::string_view owner) {
  Ref name = text(decl.name);
  Ref qualname =
      owner.empty() ? Ref::borrow(name) : Ref::steal(PyUnicode_FromFormat("%U.%U", text(owner).ptr(), name.ptr()));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.ptr()));
  Ref doc = decl.doc != nullptr ? Ref::steal(PyUnicode_FromString(decl.doc)) : none();
  Ref annotations = new_dict();
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decl.params.size())));
  Ref defaults = new_list();
  bool seen_default = false;
  for (std::size_t i = 0; i < decl.params.size(); ++i) {
    const Param& param = decl.params[i];
    Ref param_name = interned_text(param.name);
    if (!param.annotation.empty()) set_item(annotations, param_name, text(param.annotation));
    PyTuple_SET_ITEM(names.ptr(), i, param_name.release());
    if (param.fallback.kind == Default::Kind::Required) {
      if (seen_default) raise_error(PyExc_SystemError, "required parameter after a default");
    } else {
      seen_default = true;
      append(defaults, default_value(param.fallback));
    }
  }
  if (!decl.returns.empty()) set_item(annotations, "return"_id, text(decl.returns));

  FunctionObject* function = PyObject_GC_New(FunctionObject, function_type());
  if (function == nullptr) throw_python_error();
  function->vectorcall = function_vectorcall;
  function->decl = &decl;
  function->globals = Py_NewRef(PyModule_GetDict(module.ptr()));
  function->name = name.release();
  function->qualname = qualname.release();
  function->module = module_name.release();
  function->doc = doc.release();
  function->annotations = annotations.release();
  function->defaults = seen_default ? PyList_AsTuple(defaults.ptr()) : nullptr;
  function->names = names.release();
  function->dict = nullptr;
  function->weakrefs = nullptr;
  function->decorated = false;
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(function));
  if (seen_default && function->defaults == nullptr) throw_python_error();
  PyObject_GC_Track(function);
  return result;
}

void mark_decorated(Handle function) {
  if (Py_IS_TYPE(function.ptr(), function_type())) as_function(function.ptr())->decorated = true;
}

bool is_function_of(Handle object, const FunctionDecl& decl) {
  return Py_IS_TYPE(object.ptr(), function_type()) && as_function(object.ptr())->decl == &decl;
}

void raise_argument_type(std::string_view param, PyTypeObject* expected, Handle value) {
  std::string name(param);
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name.c_str(),
               expected->tp_name, value.type_name());
  if (PyObject_TypeCheck(value.ptr(), expected))
    rethrow_with_note([] { return Ref::steal(PyUnicode_FromString(kNote)); });
  throw_python_error();
}

void check_result_type(PyTypeObject* expected, Handle value) {
  if (Py_IS_TYPE(value.ptr(), expected) || value.is_none()) return;
  raise_error(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, value.type_name());
}

}  // namespace tools
