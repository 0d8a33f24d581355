// Location lookup: the folder of a source file, or of the file that defines a
// function.
#include "core/module.hpp"

namespace tools {
namespace {

// `file` wins when both are given; a relative `file` stays relative, while
// the file of `func` is anchored at the working directory.
Ref whereabouts(Call& call, Handle file, Handle func) {
  if (!file.is_none()) return call.global("Path"_id)(file).attr("parent"_id);
  if (!func.is_none()) {
    Ref source = call.global("getfile"_id)(func);
    return call.global("Path"_id)(source).method("absolute"_id).attr("parent"_id);
  }
  return none();
}

constexpr Param kParams[] = {
    any("file", "Path | str", kNoneDefault),
    any("func", "Callable | Type", kNoneDefault),
};
constexpr FunctionDecl kWhereabouts = declare<whereabouts>({
    .name = "whereabouts",
    .params = kParams,
    .returns = "Path | None",
    .doc = R"(
        Find the folder of a source file, or of the source file that defines a function.

        :param file: file object (__file__)
        :param func: function object (lambda _: 0)
        :return: 'location/if-can-be-found'
        )",
});

void init(ModuleInit& module) {
  module.from_import("pathlib", {"Path"});
  module.from_import("inspect", {"getfile"});
  module.from_import("typing", {"Callable", "Type"});
  module.add_function(kWhereabouts);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_whereabouts() { return tools::module_def("tools.common.whereabouts", tools::init); }
