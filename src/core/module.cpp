#include "core/module.hpp"

#include "core/boundary.hpp"
#include "core/except.hpp"

namespace tools {

namespace {

// The second half of `from <package> import <name>`: an attribute of the
// package, else an already imported submodule, else ImportError.
Ref import_from(Handle package, const char* name) {
  Ref attribute_name = Ref::steal(PyUnicode_FromString(name));
  PyObject* value = nullptr;
  if (check(PyObject_GetOptionalAttr(package.ptr(), attribute_name.ptr(), &value)) == 1) return Ref::steal(value);

  PyObject* package_name = nullptr;
  check(PyObject_GetOptionalAttr(package.ptr(), "__name__"_id.get(), &package_name));
  Ref owned_package_name = Ref::steal_or_null(package_name);
  if (package_name != nullptr && PyUnicode_Check(package_name)) {
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package_name, attribute_name.ptr()));
    PyObject* submodule = PyImport_GetModule(full_name.ptr());
    if (submodule != nullptr) return Ref::steal(submodule);
    if (PyErr_Occurred()) throw_python_error();
  }
  Ref shown_name = package_name != nullptr ? Ref::borrow(package_name) : text("<unknown module name>");
  PyObject* path = nullptr;
  check(PyObject_GetOptionalAttr(package.ptr(), "__file__"_id.get(), &path));
  Ref owned_path = Ref::steal_or_null(path);
  Ref message = path != nullptr && PyUnicode_Check(path)
                    ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", attribute_name.ptr(),
                                                      shown_name.ptr(), path))
                    : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                      attribute_name.ptr(), shown_name.ptr()));
  PyErr_SetImportError(message.ptr(), shown_name.ptr(), path);
  throw_python_error();
}

// Whether an ImportError is about the module `logger` itself, not about
// something the application's `logger` failed to import. An error that
// cannot tell counts as not about it: the question is only whether to add a
// note, and must not replace the error either.
bool is_about_logger(Handle error) {
  PyObject* name = nullptr;
  if (PyObject_GetOptionalAttr(error.ptr(), "name"_id.get(), &name) < 0) PyErr_Clear();
  Ref owned_name = Ref::steal_or_null(name);
  return name != nullptr && PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "logger");
}

ModuleExec module_exec = nullptr;

int exec_module(PyObject* module) noexcept {
  return at_boundary({PyModule_GetDef(module)->m_name, " at import"}, -1, [&] {
    ModuleInit init(module);
    module_exec(init);
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    kMultipleInterpretersNotSupported,  // last: on some versions an end marker
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

void ModuleInit::from_import(const char* module, std::initializer_list<const char*> names) {
  Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (const char* name : names) PyTuple_SET_ITEM(fromlist.ptr(), index++, text(name).release());
  Ref imported = Ref::steal(PyImport_ImportModuleLevel(module, globals().ptr(), nullptr, fromlist.ptr(), 0));
  for (const char* name : names) bind(name, import_from(imported, name));
}

void ModuleInit::import_logging() {
  try {
    from_import("logger", {"logging"});
  } catch (const PythonError&) {
    Ref error = except(PyExc_ImportError);
    if (is_about_logger(error)) {
      add_note(error, [&] {
        Ref name = Ref::steal(PyObject_GetAttr(module_, "__name__"_id.get()));
        return Ref::steal(PyUnicode_FromFormat(
            "%S imports 'logging' from 'logger': the application must provide a top-level module 'logger' with "
            "'logging': a logger.py on the module path (the one line 'from tools.facility import logging' makes one "
            "of the facility that ships with tools), or, for an installed application, the call "
            "'tools.facility.register()' in its package's __init__.py, which registers that facility as 'logger' "
            "(see \"The logging facility your application provides\" in the tools README)",
            name.ptr()));
      });
    }
    PyErr_SetRaisedException(error.release());
    throw_python_error();
  }
}

void ModuleInit::import(const char* module) { bind(module, Ref::steal(PyImport_ImportModule(module))); }

void ModuleInit::bind(const char* name, Handle value) { check(PyModule_AddObjectRef(module_, name, value.ptr())); }

void ModuleInit::bind(Name name, Handle value) { set_item(globals(), name, value); }

void ModuleInit::bind(Handle name, Handle value) { set_item(globals(), name, value); }

Ref ModuleInit::function(const FunctionDecl& decl, std::string_view owner) const {
  return make_function(decl, module_, owner);
}

Ref ModuleInit::decorator() const {
  Ref logging = Ref::steal(PyObject_GetAttr(module_, "logging"_id.get()));
  Ref name = Ref::steal(PyObject_GetAttr(module_, "__name__"_id.get()));
  try {
    return logging(Kw{"prefix"_id, name});
  } catch (const PythonError&) {
    if (PyCallable_Check(logging.ptr()) || !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    rethrow_with_note([&] {
      return Ref::steal(PyUnicode_FromFormat(
          "%S calls logging(prefix=...) from the application's module 'logger', but 'logger.logging' is %R, which "
          "cannot be called: it must be the facility's factory of decorators (a 'logger' module that does 'import "
          "logging' exports the standard library's module under that name; see \"The logging facility your "
          "application provides\" in the tools README)",
          name.ptr(), logging.ptr()));
    });
  }
}

void ModuleInit::add_function(const FunctionDecl& decl) { bind(interned_text(decl.name), function(decl)); }

ClassBuilder ModuleInit::start_class(const char* name) { return ClassBuilder(*this, name); }

ClassBuilder::ClassBuilder(ModuleInit& init, const char* name) : init_(init), name_(name), namespace_(new_dict()) {
  set_item(namespace_, "__module__"_id, Ref::steal(PyObject_GetAttr(init.module().ptr(), "__name__"_id.get())));
  set_item(namespace_, "__qualname__"_id, Ref::steal(PyUnicode_FromString(name)));
}

ClassBuilder& ClassBuilder::slots(std::initializer_list<const char*> names) {
  Ref slot_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t index = 0;
  for (const char* slot : names) PyTuple_SET_ITEM(slot_names.ptr(), index++, text(slot).release());
  return entry("__slots__", slot_names);
}

ClassBuilder& ClassBuilder::entry(std::string_view name, Handle value) {
  set_item(namespace_, text(name), value);
  return *this;
}

Ref facility_logger(Handle operation, const char* owner, Name name) {
  try {
    return operation.attr("logger"_id);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw;
    rethrow_with_note([&] {
      return Ref::steal(PyUnicode_FromFormat(
          "%s.%U has no attribute 'logger': the application's logging decorator must return an object that carries "
          "the operation's logger as its attribute 'logger' (see \"The logging facility your application provides\" "
          "in the tools README)",
          owner, name.get()));
    });
  }
}

ClassBuilder& ClassBuilder::logged_static(const FunctionDecl& decl) {
  Ref decorator = init_.decorator();
  Ref function = init_.function(decl, name_);
  mark_decorated(function);
  Ref static_method = Handle(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(function);
  entry(decl.name, decorator(static_method));
  return *this;
}

ClassBuilder& ClassBuilder::logged(const FunctionDecl& decl) {
  Ref decorator = init_.decorator();
  Ref function = init_.function(decl, name_);
  mark_decorated(function);
  entry(decl.name, decorator(function));
  return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionDecl& decl) {
  entry(decl.name, init_.function(decl, name_));
  return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionDecl& decl) {
  Ref function = init_.function(decl, name_);
  entry(decl.name, Handle(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(function));
  return *this;
}

ClassBuilder& ClassBuilder::property(const FunctionDecl& getter, const FunctionDecl* setter) {
  Ref property = Handle(reinterpret_cast<PyObject*>(&PyProperty_Type))(init_.function(getter, name_));
  if (setter != nullptr) property = property.method("setter"_id, init_.function(*setter, name_));
  entry(getter.name, property);
  return *this;
}

Ref ClassBuilder::build() {
  Ref bases = Ref::steal(PyTuple_New(0));
  Ref cls =
      Handle(reinterpret_cast<PyObject*>(&PyType_Type))(Ref::steal(PyUnicode_FromString(name_)), bases, namespace_);
  init_.bind(name_, cls);
  return cls;
}

PyObject* module_def(const char* name, ModuleExec exec) noexcept {
  module_exec = exec;
  module_definition.m_name = name;
  return PyModuleDef_Init(&module_definition);
}

}  // namespace tools
