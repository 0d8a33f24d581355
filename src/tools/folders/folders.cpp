// Folder operations: existence, creation, counting and removal of folders.
#include "core/module.hpp"

namespace tools {
namespace {

// Whether the path names an existing folder (links are followed).
Ref exists(Call& call) {
  Ref path = call.global("Path"_id)(call[0]);
  Ref found = path.method("exists"_id);
  if (!found.truth()) return found;
  return path.method("is_dir"_id);
}

// Makes the folder; with `recursive`, its missing parents too.
Ref create(Call& call) {
  Ref path = call.global("Path"_id)(call[0]);
  path.method("mkdir"_id, Kw{"parents"_id, boolean(call.flag(1))}, Kw{"exist_ok"_id, boolean(true)});
  return none();
}

// Counts what lies below the folder: every level through os.walk, or the
// folder's own entries through os.listdir with os.path.isfile / isdir.
Ref count(Call& call) {
  const bool files = call.flag(1);
  const bool folders = call.flag(2);
  const bool recursive = call.flag(4);
  if (!call[3].equals("*"_id.get())) {
    raise_error(PyExc_NotImplementedError, "Not yet implemented. Will be in next versions");
  }
  Ref path = call.global("Path"_id)(call[0]);
  Py_ssize_t found = 0;
  if (recursive) {
    for (Ref level : iterate(call.global("os"_id).attr("walk"_id)(Kw{"top"_id, path}))) {
      auto [root, dir_names, file_names] = unpack<3>(level);
      if (files) found += file_names.size();
      if (folders) found += dir_names.size();
    }
  } else {
    for (Ref name : iterate(call.global("os"_id).attr("listdir"_id)(Kw{"path"_id, path}))) {
      Ref is_file = files ? call.global("os"_id).attr("path"_id).attr("isfile"_id)(path / name) : boolean(false);
      Ref is_dir = folders ? call.global("os"_id).attr("path"_id).attr("isdir"_id)(path / name) : boolean(false);
      if (is_file.truth() || is_dir.truth()) ++found;
    }
  }
  return integer(found);
}

// Removes the folder: with `recursive` everything below it, else only when empty.
Ref remove(Call& call) {
  Ref path = call.global("Path"_id)(call[0]);
  if (call.flag(1)) {
    call.global("shutil"_id).attr("rmtree"_id)(path);
  } else {
    path.method("rmdir"_id);
  }
  return none();
}

constexpr Param kPath = any("path", "Path | str");

constexpr Param kExistsParams[] = {kPath};
constexpr FunctionDecl kExists{
    .name = "exists",
    .params = kExistsParams,
    .returns = "bool",
    .doc = R"(
            Check if folder exists.

            :param path: 'path/to/folder'
            :return: True / False
            )",
    .body = exists,
};

constexpr Param kCreateParams[] = {kPath, flag("recursive", kTrueDefault)};
constexpr FunctionDecl kCreate{
    .name = "create",
    .params = kCreateParams,
    .doc = R"(
            Create folder.

            :param path: 'path/to/folder'
            :param recursive: True / False
            )",
    .body = create,
};

constexpr Param kCountParams[] = {
    kPath,
    flag_or_default("files", kTrueDefault),
    flag_or_default("folders", kFalseDefault),
    str_or_default("mask", "*"),
    flag_or_default("recursive", kFalseDefault),
};
constexpr FunctionDecl kCount{
    .name = "count",
    .params = kCountParams,
    .returns = "int",
    .doc = R"(
            Count files and/or folders.

            :param path: 'path/to/folder'
            :param files: True / False
            :param folders: True / False
            :param mask: '*' / 'file-name-mask'
            :param recursive: True / False
            :return: number of found files and/or folders
            )",
    .body = count,
};

constexpr Param kRemoveParams[] = {kPath, flag("recursive", kFalseDefault)};
constexpr FunctionDecl kRemove{
    .name = "remove",
    .params = kRemoveParams,
    .doc = R"(
            Remove folder.

            :param path: 'path/to/folder'
            :param recursive: True / False
            :return:
            )",
    .body = remove,
};

void init(ModuleInit& module) {
  module.from_import("logger", {"logging"});
  module.from_import("pathlib", {"Path"});
  module.import("shutil");
  module.import("os");
  module.start_class("Folder")
      .slots({})
      .logged_static(kExists)
      .logged_static(kCreate)
      .logged_static(kCount)
      .logged_static(kRemove)
      .build();
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_folders() { return tools::module_def("tools.folders.folders", tools::init); }
