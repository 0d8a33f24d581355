// A module for the tests only, built from the core by tests/test_boundary.py:
// operations whose bodies end in C++ exceptions that are not Python errors.
#include <stdexcept>

#include "core/cleanup.hpp"
#include "core/module.hpp"

namespace tools {
namespace {

Ref throws_unknown() { throw 42; }

Ref throws_standard() { throw std::length_error("a length out of range"); }

// The exception leaves through a clean-up block, which still runs.
Ref throws_through_cleanup(Handle cleanup) {
  with_finally([] { throw 42; }, [&] { cleanup(); });
  return none();
}

Ref reports_without_error() { throw PythonError{}; }

constexpr Param kCleanup[] = {any("cleanup")};
constexpr FunctionDecl kThrowsUnknown = declare<throws_unknown>({.name = "throws_unknown"});
constexpr FunctionDecl kThrowsStandard = declare<throws_standard>({.name = "throws_standard"});
constexpr FunctionDecl kThrowsThroughCleanup =
    declare<throws_through_cleanup>({.name = "throws_through_cleanup", .params = kCleanup});
constexpr FunctionDecl kReportsWithoutError = declare<reports_without_error>({.name = "reports_without_error"});

void init(ModuleInit& module) {
  module.add_function(kThrowsUnknown);
  module.add_function(kThrowsStandard);
  module.add_function(kThrowsThroughCleanup);
  module.add_function(kReportsWithoutError);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_boundary_probe() { return tools::module_def("boundary_probe", tools::init); }
