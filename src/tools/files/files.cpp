// File operations on one file addressed by folder and name: existence,
// reading, writing, renaming, copying, cross-process locks and removal.
// Every step that touches a file's content or lock writes a debug line
// through the logger that the logging facility attached to the operation.
#include "core/cleanup.hpp"
#include "core/module.hpp"
#include "core/native_file.hpp"
#include "core/standard_paths.hpp"

namespace tools {
namespace {

// `File.<operation>.logger`, looked up through the module global on every
// use, so that a replaced class or logger is honoured.
Ref logger_of(Call& call, Name operation) {
  return facility_logger(call.global("File"_id).attr(operation), "File", operation);
}

// `File.<operation>.logger.debug(f'<prefix>{name}" - Done', date_=True, indent=True)`,
// the name's text made after the logger's method is found.
template <class NameText>
void log_done(Call& call, Name operation, const char* prefix, NameText&& name_text) {
  Ref debug = logger_of(call, operation).attr("debug"_id);
  Ref name = name_text();
  Ref message = Ref::steal(PyUnicode_FromFormat("%s%U\" - Done", prefix, name.ptr()));
  debug(message, Kw{"date_"_id, boolean(true)}, Kw{"indent"_id, boolean(true)});
}

// The line for an open file object: the text of its `name`.
void log_line(Call& call, Name operation, const char* prefix, Handle file) {
  log_done(call, operation, prefix, [&] { return file.attr("name"_id).format(); });
}

// The line for a file opened by its text, which is its name.
void log_line(Call& call, Name operation, const char* prefix, const OpenTarget& file) {
  log_done(call, operation, prefix, [&] { return Ref::borrow(file.text); });
}

// What the existence steps reach, as found at import.
const StandardPaths* standard_paths = nullptr;

constexpr const char* kOpening = "Opening file: \"";
constexpr const char* kReading = "Reading file: \"";
constexpr const char* kWriting = "Writing file: \"";
constexpr const char* kLocking = "Locking file: \"";
constexpr const char* kUnlocking = "Unlocking file: \"";

// Whether a regular file of that name exists (links are followed).
Ref exists(Call& call, Handle path, Handle name) {
  if (std::optional<EntryKind> entry = standard_paths->entry(call, path, name)) {
    return boolean(*entry == EntryKind::file);
  }
  Ref file_path = call.global("Path"_id)(path) / name;
  Ref found = file_path.method("exists"_id);
  if (!found.truth()) return found;
  return file_path.method("is_file"_id);
}

// The whole content, read in one call inside `with open(...) as file`.
// While the built-in open() and pathlib are what the steps reach, the file
// is read with the system calls open() makes, under the same audit event,
// errors and file name.
Ref read(Call& call, Handle path, Handle name) {
  if (std::optional<OpenTarget> target = standard_paths->opened(call, path, name)) {
    ReadFile file(*target);
    log_line(call, "read"_id, kOpening, *target);
    Ref content = file.read_all();
    log_line(call, "read"_id, kReading, *target);
    file.close();
    return content;
  }
  Ref open = call.global("open"_id);
  Ref file_path = call.global("Path"_id)(path) / name;
  Ref content;
  bool completed = with_context(open(file_path, Kw{"mode"_id, "rb"_id.get()}), [&](Handle file) {
    log_line(call, "read"_id, kOpening, file);
    content = file.method("read"_id);
    log_line(call, "read"_id, kReading, file);
  });
  // Only a manager that swallows an exception gets here without content.
  if (!completed && content.is_null()) {
    raise_error(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                "content");
  }
  return content;
}

// Replaces the content in place: the folder is made through `Folder` when
// missing, then the file is opened "wb" (emptied) and written in one call.
Ref write(Call& call, Handle given_path, Handle name, Handle given_content) {
  Ref content =
      given_content.is_none() ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)) : Ref::borrow(given_content);
  Ref path = call.global("Path"_id)(given_path);
  Ref folder_exists = call.global("Folder"_id).attr("exists"_id);
  if (!folder_exists(Kw{"path"_id, path}, Kw{"logger"_id, logger_of(call, "write"_id)}).truth()) {
    Ref folder_create = call.global("Folder"_id).attr("create"_id);
    folder_create(Kw{"path"_id, path}, Kw{"logger"_id, logger_of(call, "write"_id)});
  }
  Ref open = call.global("open"_id);
  Ref file_path = path / name;
  with_context(open(Kw{"file"_id, file_path}, Kw{"mode"_id, "wb"_id.get()}), [&](Handle file) {
    opening_line_after_emptying("File", "write"_id, [&] { log_line(call, "write"_id, kOpening, file); });
    file.method("write"_id, content);
    log_line(call, "write"_id, kWriting, file);
  });
  return none();
}

// Gives the file a new name, joined to the same folder: by rename(2) while
// os.rename and pathlib are what the steps reach.
Ref rename(Call& call, Handle given_path, Handle name, Handle new_name) {
  if (std::optional<StandardPaths::Renaming> renaming = standard_paths->renamed(call, given_path, name, new_name)) {
    rename_file(renaming->source, renaming->target);
    return none();
  }
  Ref path = call.global("Path"_id)(given_path);
  Ref os_rename = call.global("os"_id).attr("rename"_id);
  Ref src = path / name;
  Ref dst = path / new_name;
  os_rename(Kw{"src"_id, src}, Kw{"dst"_id, dst});
  return none();
}

// Copies content and metadata; the copy keeps the source's name unless given one.
Ref copy(Call& call, Handle given_path, Handle name, Handle given_new_path, Handle given_new_name) {
  Handle new_name = given_new_name.is_none() ? name : given_new_name;
  Ref path = call.global("Path"_id)(given_path);
  Ref new_path = call.global("Path"_id)(given_new_path);
  Ref copy2 = call.global("shutil"_id).attr("copy2"_id);
  Ref src = path / name;
  Ref dst = new_path / new_name;
  copy2(Kw{"src"_id, src}, Kw{"dst"_id, dst});
  return none();
}

// Whether the pending exception is the locking package's refusal of a lock
// that another holder has (its AlreadyLocked, as the module holds it now).
bool is_refused_lock(Handle portalocker) {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  PyObject* refusal = nullptr;
  const bool refused = PyObject_GetOptionalAttr(portalocker.ptr(), "AlreadyLocked"_id.get(), &refusal) == 1 &&
                       PyType_Check(refusal) && PyObject_IsInstance(pending.ptr(), refusal) == 1;
  Py_XDECREF(refusal);
  PyErr_Clear();  // a question that cannot be answered leaves the refusal as it is
  PyErr_SetRaisedException(pending.release());
  return refused;
}

// The refusal, which goes on as it is, says which file and why.
[[noreturn]] void note_refused_lock(Handle file) {
  rethrow_with_note([&] {
    Ref name = file.attr("name"_id).format();
    return Ref::steal(PyUnicode_FromFormat(
        "File.lock: \"%U\" is locked by another holder (the lock is exclusive, and File.lock does not wait for it)",
        name.ptr()));
  });
}

// Opens the file "a+" and takes an exclusive lock without waiting. Whatever
// fails after the open (the lock, a log line, even an interruption) closes
// the file before the failure continues; on success the caller owns it.
Ref lock(Call& call, Handle given_path, Handle name) {
  Ref path = call.global("Path"_id)(given_path);
  Ref file = none();
  on_exception(
      [&] {
        Ref open = call.global("open"_id);
        file = open(path / name, Kw{"mode"_id, "a+"_id.get()});
        log_line(call, "lock"_id, kOpening, file);
        Ref portalocker = call.global("portalocker"_id);
        Ref portalocker_lock = portalocker.attr("lock"_id);
        Ref exclusive = portalocker.attr("LOCK_EX"_id);
        Ref no_wait = portalocker.attr("LOCK_NB"_id);
        Ref flags = Ref::steal(PyNumber_Or(exclusive.ptr(), no_wait.ptr()));
        try {
          portalocker_lock(Kw{"file"_id, file}, Kw{"flags"_id, flags});
        } catch (const PythonError&) {
          if (is_refused_lock(portalocker)) note_refused_lock(file);
          throw;
        }
        log_line(call, "lock"_id, kLocking, file);
      },
      [&] {
        if (file.truth()) file.method("close"_id);
      });
  return file;
}

// Releases the lock and closes the file, whatever happens on the way.
Ref unlock(Call& call, Handle file) {
  with_finally(
      [&] {
        call.global("portalocker"_id).attr("unlock"_id)(Kw{"file"_id, file});
        log_line(call, "unlock"_id, kUnlocking, file);
      },
      [&] {
        if (file.truth()) file.method("close"_id);
      });
  return none();
}

// Deletes the file; a missing one is an error.
Ref remove(Call& call, Handle path, Handle name) {
  Ref file_path = call.global("Path"_id)(path) / name;
  file_path.method("unlink"_id);
  return none();
}

constexpr Param kPath = any("path", "Path | str");
constexpr Param kName = exact("name", "str", &PyUnicode_Type);

// The parameters of the operations that work on one named file.
constexpr Param kPathAndName[] = {kPath, kName};

constexpr FunctionDecl kExists = declare<exists>({
    .name = "exists",
    .params = kPathAndName,
    .returns = "bool",
    .doc = R"(
            Check if file exists.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :return: True / False
            )",
});

constexpr FunctionDecl kRead = declare<read>({
    .name = "read",
    .params = kPathAndName,
    .returns = "bytes",
    .returns_exact = &PyBytes_Type,
    .doc = R"(
            Read content from file.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :return: b'content'
            )",
});

constexpr Param kWriteParams[] = {kPath, kName, exact("content", "bytes", &PyBytes_Type, kNoneDefault)};
constexpr FunctionDecl kWrite = declare<write>({
    .name = "write",
    .params = kWriteParams,
    .doc = R"(
            Write content to file.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :param content: 'bin:content'
            :return:
            )",
});

constexpr Param kRenameParams[] = {kPath, kName, exact("new_name", "str", &PyUnicode_Type)};
constexpr FunctionDecl kRename = declare<rename>({
    .name = "rename",
    .params = kRenameParams,
    .doc = R"(
            Rename file.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :param new_name: 'new-file-name.ext'
            :return:
            )",
});

constexpr Param kCopyParams[] = {kPath, kName, any("new_path", "Path | str"),
                                 exact("new_name", "str", &PyUnicode_Type, kNoneDefault)};
constexpr FunctionDecl kCopy = declare<copy>({
    .name = "copy",
    .params = kCopyParams,
    .doc = R"(
            Copy file to new location (optionally, with new name).

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :param new_path: 'new/file/path'
            :param new_name: 'new-file-name.ext'
            :return:
            )",
});

constexpr FunctionDecl kLock = declare<lock>({
    .name = "lock",
    .params = kPathAndName,
    .returns = "IO[Any]",
    .doc = R"(
            Lock file.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :return: file handler
            )",
});

constexpr Param kUnlockParams[] = {any("file", "IO[Any]")};
constexpr FunctionDecl kUnlock = declare<unlock>({
    .name = "unlock",
    .params = kUnlockParams,
    .doc = R"(
            Unlock file.

            :param file: file handler
            :return:
            )",
});

constexpr FunctionDecl kRemove = declare<remove>({
    .name = "remove",
    .params = kPathAndName,
    .doc = R"(
            Remove file.

            :param path: 'path/to/file'
            :param name: 'file-name.ext'
            :return:
            )",
});

void init(ModuleInit& module) {
  module.import_logging();
  module.from_import("tools.folders", {"Folder"});
  module.from_import("pathlib", {"Path"});
  module.import("os");
  standard_paths = new StandardPaths(module.module().attr("os"_id), module.module().attr("Path"_id));
  module.import("shutil");
  module.import("portalocker");
  module.from_import("typing", {"IO", "Any"});
  module.start_class("File")
      .slots({})
      .logged_static(kExists)
      .logged_static(kRead)
      .logged_static(kWrite)
      .logged_static(kRename)
      .logged_static(kCopy)
      .logged_static(kLock)
      .logged_static(kUnlock)
      .logged_static(kRemove)
      .build();
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_files() { return tools::module_def("tools.files.files", tools::init); }
