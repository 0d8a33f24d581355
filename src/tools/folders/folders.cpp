// Folder operations: existence, creation, counting and removal of folders.
#include <optional>
#include <string>

#include "core/dirwalk.hpp"
#include "core/module.hpp"
#include "core/standard_paths.hpp"

namespace tools {
namespace {

// The standard-library objects that the counting steps go through, as this
// module found them at import; kept for the life of the process.
struct CountingLibrary {
  Ref os, os_path, path_type;
  Ref walk, listdir, scandir, fspath, stat, lstat;
  Ref isfile, isdir, islink, join;
};
const CountingLibrary* counting_library = nullptr;
const StandardPaths* standard_paths = nullptr;

// A folder to count natively: its text (what os.fspath gives, which the
// standard functions report in audit events and errors) and its file-system
// bytes.
struct NativeFolder {
  Ref text;
  std::string bytes;
};

// Whether the module's `os` and the functions the counting steps reach
// through it are the standard ones found at import.
bool standard_counting_library(Call& call) {
  const CountingLibrary& library = *counting_library;
  Ref os = call.global_or_null("os"_id);
  return os.is(library.os) && attribute_is(os, "walk"_id, library.walk) &&
         attribute_is(os, "listdir"_id, library.listdir) && attribute_is(os, "scandir"_id, library.scandir) &&
         attribute_is(os, "fspath"_id, library.fspath) && attribute_is(os, "stat"_id, library.stat) &&
         attribute_is(os, "lstat"_id, library.lstat) && attribute_is(os, "path"_id, library.os_path) &&
         attribute_is(library.os_path, "isfile"_id, library.isfile) &&
         attribute_is(library.os_path, "isdir"_id, library.isdir) &&
         attribute_is(library.os_path, "islink"_id, library.islink) &&
         attribute_is(library.os_path, "join"_id, library.join);
}

// The folder to count natively when the counting steps would run through the
// standard library unchanged (so that the native walk gives exactly their
// counts); empty when anything they call was replaced or the path is not a
// plain path object. The library is asked again once the path's text is
// made: pathlib makes it in Python code, which may have replaced a function.
std::optional<NativeFolder> native_count_folder(Call& call, Handle path) {
  if (!path.is_exact(reinterpret_cast<PyTypeObject*>(counting_library->path_type.ptr()))) return {};
  if (!standard_counting_library(call)) return {};
  Ref folder_text = Ref::steal(PyOS_FSPath(path.ptr()));
  if (!standard_counting_library(call)) return {};
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(folder_text.ptr()));
  std::string bytes(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()));
  if (bytes.find('\0') != std::string::npos) return {};  // the standard steps raise ValueError
  return NativeFolder{std::move(folder_text), std::move(bytes)};
}

void capture_counting_library(Handle os, Handle path_class) {
  Ref os_path = os.attr("path"_id);
  counting_library = new CountingLibrary{
      Ref::borrow(os),
      Ref::borrow(os_path),
      Ref::borrow(reinterpret_cast<PyObject*>(path_class(text(".")).type())),
      os.attr("walk"_id),
      os.attr("listdir"_id),
      os.attr("scandir"_id),
      os.attr("fspath"_id),
      os.attr("stat"_id),
      os.attr("lstat"_id),
      os_path.attr("isfile"_id),
      os_path.attr("isdir"_id),
      os_path.attr("islink"_id),
      os_path.attr("join"_id),
  };
}

// Whether the path names an existing folder (links are followed).
Ref exists(Call& call, Handle given_path) {
  if (std::optional<EntryKind> entry = standard_paths->entry(call, given_path)) {
    return boolean(*entry == EntryKind::folder);
  }
  Ref path = call.global("Path"_id)(given_path);
  Ref found = path.method("exists"_id);
  if (!found.truth()) return found;
  return path.method("is_dir"_id);
}

// Makes the folder; with `recursive`, its missing parents too.
Ref create(Call& call, Handle given_path, bool recursive) {
  Ref path = call.global("Path"_id)(given_path);
  path.method("mkdir"_id, Kw{"parents"_id, boolean(recursive)}, Kw{"exist_ok"_id, boolean(true)});
  return none();
}

// Counts what lies below the folder: every level through os.walk, or the
// folder's own entries through os.listdir with os.path.isfile / isdir.
Ref count(Call& call, Handle given_path, bool files, bool folders, Handle mask, bool recursive) {
  if (!mask.equals("*"_id.get())) {
    raise_error(PyExc_NotImplementedError, "Not yet implemented. Will be in next versions");
  }
  Ref path = call.global("Path"_id)(given_path);
  if (std::optional<NativeFolder> folder = native_count_folder(call, path)) {
    if (recursive) {
      check(PySys_Audit("os.walk", "OOOO", path.ptr(), Py_True, Py_None, Py_False));
      return integer(count_walk(folder->bytes, files, folders));
    }
    check(PySys_Audit("os.listdir", "O", folder->text.ptr()));
    ListingCount listing = count_listing(folder->bytes, files, folders);
    if (listing.error != 0) {
      errno = listing.error;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, folder->text.ptr());
      throw_python_error();
    }
    return integer(listing.found);
  }
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
Ref remove(Call& call, Handle given_path, bool recursive) {
  Ref path = call.global("Path"_id)(given_path);
  if (recursive) {
    call.global("shutil"_id).attr("rmtree"_id)(path);
  } else {
    path.method("rmdir"_id);
  }
  return none();
}

constexpr Param kPath = any("path", "Path | str");

constexpr Param kExistsParams[] = {kPath};
constexpr FunctionDecl kExists = declare<exists>({
    .name = "exists",
    .params = kExistsParams,
    .returns = "bool",
    .doc = R"(
            Check if folder exists.

            :param path: 'path/to/folder'
            :return: True / False
            )",
});

constexpr Param kCreateParams[] = {kPath, flag("recursive", kTrueDefault)};
constexpr FunctionDecl kCreate = declare<create>({
    .name = "create",
    .params = kCreateParams,
    .doc = R"(
            Create folder.

            :param path: 'path/to/folder'
            :param recursive: True / False
            )",
});

constexpr Param kCountParams[] = {
    kPath,
    flag_or_default("files", kTrueDefault),
    flag_or_default("folders", kFalseDefault),
    str_or_default("mask", "*"),
    flag_or_default("recursive", kFalseDefault),
};
constexpr FunctionDecl kCount = declare<count>({
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
});

constexpr Param kRemoveParams[] = {kPath, flag("recursive", kFalseDefault)};
constexpr FunctionDecl kRemove = declare<remove>({
    .name = "remove",
    .params = kRemoveParams,
    .doc = R"(
            Remove folder.

            :param path: 'path/to/folder'
            :param recursive: True / False
            :return:
            )",
});

void init(ModuleInit& module) {
  module.import_logging();
  module.from_import("pathlib", {"Path"});
  module.import("shutil");
  module.import("os");
  capture_counting_library(module.module().attr("os"_id), module.module().attr("Path"_id));
  standard_paths = new StandardPaths(module.module().attr("os"_id), module.module().attr("Path"_id));
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
