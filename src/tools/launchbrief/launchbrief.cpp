// Start-up report: a block of facts about the running process, printed once
// per process environment.
#include <string>

#include "core/except.hpp"
#include "core/module.hpp"

namespace tools {
namespace {

Ref concat(Handle left, Handle right) { return Ref::steal(PyUnicode_Concat(left.ptr(), right.ptr())); }

Ref rule(Py_ssize_t width) { return text(std::string(static_cast<std::size_t>(width), '-')); }

// Label + str(value). Any failure to obtain a fact is reported in its place,
// so a half-configured host still gets its start-up block; only exceptions
// outside Exception (interrupts, exits) get through.
template <class Obtain>
Ref fact_line(std::string_view label, Obtain obtain) {
  Ref value;
  try {
    value = obtain();
  } catch (const PythonError&) {
    value = except(PyExc_Exception);
  }
  return concat(text(label), value.str());
}

// The guard is set before anything else can fail, so a broken report is
// still not repeated by later calls or by child processes.
Ref launchbrief(Call& call, Handle prefix, Handle name, Handle separator) {
  Ref var_name = concat(concat(prefix, separator), name);
  if (call.global("os"_id).attr("environ"_id).method("get"_id, var_name).equals("true"_id.get())) return none();
  check(PyObject_SetItem(call.global("os"_id).attr("environ"_id).ptr(), var_name.ptr(), "true"_id.get()));

  Ref info = new_list();
  Ref execution_date =
      call.global("datetime"_id).method("now"_id).method("strftime"_id, Handle("%Y-%m-%d %H:%M:%S.%f"_id.get()));
  append(info, rule(execution_date.size()));
  append(info, execution_date);
  append(info, fact_line("User: ", [&] { return call.global("getuser"_id)(); }));
  append(info, fact_line("Host: ", [&] { return call.global("getfqdn"_id)(); }));
  append(info, fact_line("OS Platform: ", [&] { return call.global("platform"_id)(Kw{"aliased"_id, boolean(true)}); }));
  append(info, fact_line("Python Version: ", [&] { return call.global("version"_id); }));
  Ref py_implementation_ = fact_line("Implementation: ", [&] { return call.global("python_implementation"_id)(); });
  append(info, py_implementation_);
  append(info, rule(py_implementation_.size()));
  call.global("print"_id)(Ref::steal(PyUnicode_Join("\n"_id.get(), info.ptr())));
  return none();
}

constexpr Param kParams[] = {
    str_or_default("prefix", "app"),
    str_or_default("name", "main"),
    str_or_default("separator", ":"),
};
constexpr FunctionDecl kLaunchbrief = declare<launchbrief>({
    .name = "launchbrief",
    .params = kParams,
    .doc = R"(
        Print the start-up facts of this process once per process environment.

        :param prefix: 'app-name'
        :param name: 'var-name'
        :param separator: 'separator'
        :return:
        )",
});

void init(ModuleInit& module) {
  module.import("os");
  module.from_import("datetime", {"datetime"});
  module.from_import("getpass", {"getuser"});
  module.from_import("socket", {"getfqdn"});
  module.from_import("platform", {"platform", "python_implementation"});
  module.from_import("sys", {"version"});
  module.add_function(kLaunchbrief);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_launchbrief() { return tools::module_def("tools.launchbrief.launchbrief", tools::init); }
