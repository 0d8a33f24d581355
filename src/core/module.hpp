// Module initialisation helpers: imports bound as module globals, classes
// made with type(name, (), namespace), and the decoration of operations by
// the application's logging facility.
#pragma once

#include <initializer_list>
#include <string_view>

#include "core/except.hpp"
#include "core/function.hpp"

namespace tools {

class ClassBuilder;

class ModuleInit {
 public:
  explicit ModuleInit(PyObject* module) : module_(module) {}

  Handle module() const { return module_; }
  Handle globals() const { return PyModule_GetDict(module_); }

  // `from <module> import <name>, ...`: each name becomes a module global.
  void from_import(const char* module, std::initializer_list<const char*> names);
  // `from logger import logging`: the application's logging facility. When
  // `logger` itself cannot be found or lacks `logging`, the ImportError gains
  // a note on what the application must provide; any other error passes as is.
  void import_logging();
  // `import <module>`: the module becomes a global under its own name.
  void import(const char* module);
  void bind(const char* name, Handle value);
  void bind(Name name, Handle value);
  void bind(Handle name, Handle value);

  // A function object of this module (`owner`: the class that holds it).
  Ref function(const FunctionDecl& decl, std::string_view owner = {}) const;
  // `logging(prefix=__name__)`: the logging facility's decorator for one operation.
  Ref decorator() const;

  // Binds a module-level function under its own name.
  void add_function(const FunctionDecl& decl);

  // Starts a class of this module: its namespace holds `__module__` and
  // `__qualname__`; the builder adds the rest in order.
  ClassBuilder start_class(const char* name);

 private:
  PyObject* module_;
};

// Collects a class namespace in order and makes the class from it.
class ClassBuilder {
 public:
  ClassBuilder(ModuleInit& init, const char* name);

  // `__slots__` = the tuple of these names.
  ClassBuilder& slots(std::initializer_list<const char*> names);
  // Any other namespace entry.
  ClassBuilder& entry(std::string_view name, Handle value);

  // logging(prefix=__name__), the function, staticmethod(), then the decorator.
  ClassBuilder& logged_static(const FunctionDecl& decl);
  // logging(prefix=__name__), the function, then the decorator.
  ClassBuilder& logged(const FunctionDecl& decl);
  ClassBuilder& method(const FunctionDecl& decl);
  ClassBuilder& static_method(const FunctionDecl& decl);
  // property(getter); with a setter, replaced by property.setter(setter).
  ClassBuilder& property(const FunctionDecl& getter, const FunctionDecl* setter = nullptr);

  // type(name, (), namespace), bound as the module global of that name.
  Ref build();

 private:
  ModuleInit& init_;
  const char* name_;
  Ref namespace_;
};

// ---------------------------------------------------------------------------
// Mistakes in the application's logging facility. Where one makes an
// operation fail, the exception passes as it is and gains a note naming the
// mistake and the README section that describes the facility.

// `operation.logger`: the logger the facility's decorator attached to a
// decorated operation, shown as `<owner>.<name>`.
Ref facility_logger(Handle operation, const char* owner, Name name);

// Runs `body`, the first log line after `owner.name` opened a file for
// writing; a failure there says that the file was emptied and nothing written.
template <class Body>
void opening_line_after_emptying(const char* owner, Name name, Body&& body) {
  try {
    body();
  } catch (const PythonError&) {
    rethrow_with_note([&] {
      return Ref::steal(PyUnicode_FromFormat(
          "%s.%U wrote its first log line after opening the file for writing, and that line failed: the file was "
          "emptied when it was opened and nothing was written (see \"When a log line fails\" in the tools README)",
          owner, name.get()));
    });
  }
}

using ModuleExec = void (*)(ModuleInit&);

// The module definition (multi-phase initialisation) for a module's PyInit_.
PyObject* module_def(const char* name, ModuleExec exec) noexcept;

}  // namespace tools
