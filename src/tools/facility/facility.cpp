// The logging facility that ships with the package: what `folders`, `files`
// and `tables` require of the application's module `logger`, on the standard
// logging package. An application takes it with one line, or one call; the
// package never registers it by itself.
//
// Lines go to the standard logger named after the operation's module
// ("tools.files.files"), or below a parent the application names
// ("myapp.tools.files.files"), so that the handlers of its own logger
// receive them. Each is logged at DEBUG level with two record attributes
// that a format can use: `indent` (four spaces for a line that reports a
// step of an operation, as tools' lines all do) and `date_` (whether the
// line asked for its time).
#include "core/facility.hpp"

#include "core/module.hpp"

namespace tools {
namespace {

constexpr auto kDebugLevel = 10;

// `<parent>.<prefix>`, or `prefix` while no parent is named.
Ref logger_name(Call& call, Handle prefix) {
  Ref parent = call.global("_parent"_id);
  if (parent.is_none()) return Ref::borrow(prefix);
  return Ref::steal(PyUnicode_FromFormat("%U.%U", parent.ptr(), prefix.ptr()));
}

Ref init_logger(Call& call, Handle self, Handle name) {
  Ref logger = call.global("_std_logging"_id).attr("getLogger"_id)(name);
  check(PyObject_SetAttr(self.ptr(), "_OperationLogger__logger"_id.get(), logger.ptr()));
  return none();
}

Ref name(Handle self) { return self.attr("_OperationLogger__logger"_id).attr("name"_id); }

// One line at DEBUG level, when the standard logger takes it.
Ref debug(Handle self, Handle message, bool date_, bool indent) {
  Ref logger = self.attr("_OperationLogger__logger"_id);
  if (!logger.method("isEnabledFor"_id, integer(kDebugLevel)).truth()) return none();
  Ref extra = new_dict();
  set_item(extra, "date_"_id, boolean(date_));
  set_item(extra, "indent"_id, indent ? "    "_id.get() : ""_id.get());
  logger.method("debug"_id, message, Kw{"extra"_id, extra});
  return none();
}

// The decorator for one operation of the module `prefix`, with its logger.
Ref logging(Call& call, Handle prefix) {
  Ref logger = call.global("OperationLogger"_id)(logger_name(call, prefix));
  return decorator_with(logger);
}

// Makes this facility the application's module `logger`, unless one is
// there already, and names the parent of the loggers made from now on.
Ref register_facility(Call& call, Handle parent) {
  check(PyDict_SetItem(call.globals().ptr(), "_parent"_id.get(), parent.ptr()));
  Handle modules = PyImport_GetModuleDict();
  if (!check(PyDict_Contains(modules.ptr(), "logger"_id.get()))) {
    set_item(modules, "logger"_id, Ref::steal(PyImport_ImportModule("tools.facility")));
  }
  return none();
}

constexpr Param kLoggerInitParams[] = {any("self"), exact("name", "str", &PyUnicode_Type)};
constexpr FunctionDecl kLoggerInit = declare<init_logger>({.name = "__init__", .params = kLoggerInitParams});

constexpr Param kSelf[] = {any("self")};
constexpr FunctionDecl kName = declare<name>({
    .name = "name",
    .params = kSelf,
    .returns = "str",
    .doc = R"(
                The name of the standard logger that the lines go to.
            )",
});

constexpr Param kDebugParams[] = {
    any("self"),
    any("message", "str"),
    flag("date_", kFalseDefault),
    flag("indent", kFalseDefault),
};
constexpr FunctionDecl kDebug = declare<debug>({
    .name = "debug",
    .params = kDebugParams,
    .doc = R"(
            Write one line at DEBUG level.

            :param message: the line
            :param date_: True / False (the record attribute 'date_')
            :param indent: True / False (the record attribute 'indent': four spaces, or none)
            :return:
            )",
});

constexpr Param kLoggingParams[] = {exact("prefix", "str", &PyUnicode_Type)};
constexpr FunctionDecl kLogging = declare<logging>({
    .name = "logging",
    .params = kLoggingParams,
    .returns = "Callable[[Any], Any]",
    .doc = R"(
        Make the decorator for one operation of a module.

        :param prefix: the module's name
        :return: decorator that keeps the operation's logger as its attribute 'logger'
        )",
});

constexpr Param kRegisterParams[] = {exact("parent", "str", &PyUnicode_Type, kNoneDefault)};
constexpr FunctionDecl kRegister = declare<register_facility>({
    .name = "register",
    .params = kRegisterParams,
    .doc = R"(
        Make this facility the module 'logger', unless one is imported already.

        :param parent: name of the application's logger that the lines go below (default: none)
        :return:
        )",
});

void init(ModuleInit& module) {
  module.bind("_std_logging", Ref::steal(PyImport_ImportModule("logging")));
  module.bind("_parent", none());
  module.from_import("typing", {"Any", "Callable"});
  module.start_class("OperationLogger").slots({"__logger"}).method(kLoggerInit).property(kName).method(kDebug).build();
  module.add_function(kLogging);
  module.add_function(kRegister);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_facility() { return tools::module_def("tools.facility.facility", tools::init); }
