#include "core/standard_paths.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "core/cpython_internals.hpp"

namespace tools {

bool attribute_is(Handle object, Name name, Handle expected) {
  if (class_gives(object, name.get(), expected)) return true;
  PyObject* value = nullptr;
  check(PyObject_GetOptionalAttr(object.ptr(), name.get(), &value));
  Ref owned = Ref::steal_or_null(value);
  return owned.is(expected);
}

StandardPaths::StandardPaths(Handle os, Handle path_class)
    : os_(Ref::borrow(os)),
      os_path_(os.attr("path"_id)),
      path_class_(Ref::borrow(path_class)),
      concrete_(Ref::borrow(reinterpret_cast<PyObject*>(path_class(text(".")).type()))),
      stat_(os.attr("stat"_id)),
      exists_(os_path_.attr("exists"_id)),
      isdir_(os_path_.attr("isdir"_id)),
      isfile_(os_path_.attr("isfile"_id)),
      path_exists_(concrete_.attr("exists"_id)),
      path_is_dir_(concrete_.attr("is_dir"_id)),
      path_is_file_(concrete_.attr("is_file"_id)),
      path_stat_(concrete_.attr("stat"_id)),
      path_join_(concrete_.attr("__truediv__"_id)),
      path_fspath_(concrete_.attr("__fspath__"_id)),
      path_str_(concrete_.attr("__str__"_id)),
      open_(Ref::steal(PyImport_ImportModule("io")).attr("open"_id)),
      rename_(os.attr("rename"_id)) {
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  Ref encoding = sys.method("getfilesystemencoding"_id);
  Ref errors = sys.method("getfilesystemencodeerrors"_id);
  utf8_ = PyUnicode_CompareWithASCIIString(encoding.ptr(), "utf-8") == 0 &&
          PyUnicode_CompareWithASCIIString(errors.ptr(), "surrogateescape") == 0;
}

// The module's `Path` and what every step does with a path object: `/`
// joins the name, os functions take its `__fspath__`, which is its
// `__str__`.
bool StandardPaths::path_unchanged(const Call& call) const {
  return call.global_or_null("Path"_id).is(path_class_) && attribute_is(concrete_, "__truediv__"_id, path_join_) &&
         attribute_is(concrete_, "__fspath__"_id, path_fspath_) && attribute_is(concrete_, "__str__"_id, path_str_);
}

// The methods the existence steps call and the `os` functions those reach:
// `os.stat` up to 3.13, `os.path.exists`, `isdir` and `isfile` from 3.14.
bool StandardPaths::unchanged(const Call& call) const {
  return path_unchanged(call) && attribute_is(concrete_, "exists"_id, path_exists_) &&
         attribute_is(concrete_, "is_dir"_id, path_is_dir_) && attribute_is(concrete_, "is_file"_id, path_is_file_) &&
         attribute_is(concrete_, "stat"_id, path_stat_) && attribute_is(os_, "stat"_id, stat_) &&
         attribute_is(os_, "path"_id, os_path_) && attribute_is(os_path_, "exists"_id, exists_) &&
         attribute_is(os_path_, "isdir"_id, isdir_) && attribute_is(os_path_, "isfile"_id, isfile_);
}

// The built-in open() that the reading steps call.
bool StandardPaths::opening_unchanged(const Call& call) const {
  return path_unchanged(call) && call.global_or_null("open"_id).is(open_);
}

// The module's `os` and its `rename`.
bool StandardPaths::renaming_unchanged(const Call& call) const {
  return path_unchanged(call) && call.global_or_null("os"_id).is(os_) && attribute_is(os_, "rename"_id, rename_);
}

// What a guard found a moment ago, with no code run since.
bool StandardPaths::still_unchanged(const Call&) const { return true; }

namespace {

// Whether a str holds a surrogate code point, which the file-system
// encoding may give back as another text.
bool has_surrogates(Handle text) {
  if (PyUnicode_MAX_CHAR_VALUE(text.ptr()) < 0xD800) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

// The file-system bytes of an exact str, which must outlive them: the str's
// own UTF-8 form where `utf8` tells that the encoding is UTF-8 with
// surrogateescape and the text holds no surrogate (an ASCII str is that form
// already), else the encoder's. Empty, with no error set, when the encoding
// refuses the text (the steps' ValueError).
class Encoded {
 public:
  Encoded(Handle text, bool utf8) {
    if (utf8) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
      if (data == nullptr) throw_python_error();
      bytes_ = std::string_view(data, static_cast<std::size_t>(size));
      return;
    }
    PyObject* made = PyUnicode_EncodeFSDefault(text.ptr());
    if (made == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_python_error();
      PyErr_Clear();
      return;
    }
    encoder_ = Ref::steal(made);
    bytes_ = std::string_view(PyBytes_AS_STRING(made), static_cast<std::size_t>(PyBytes_GET_SIZE(made)));
  }

  bool refused() const { return bytes_.data() == nullptr; }
  std::string_view bytes() const { return bytes_; }

 private:
  Ref encoder_;
  std::string_view bytes_;
};

// pathlib's root of a POSIX path: exactly two leading slashes are kept, one
// or three and more make one.
std::string_view root_of(std::string_view raw) {
  if (raw.empty() || raw[0] != '/') return {};
  if (raw.size() >= 2 && raw[1] == '/' && (raw.size() == 2 || raw[2] != '/')) return raw.substr(0, 2);
  return raw.substr(0, 1);
}

// The parts after the root, as pathlib keeps them: empty and "." parts dropped.
void append_parts(std::string& out, std::string_view raw) {
  std::size_t start = 0;
  while (start <= raw.size()) {
    std::size_t end = raw.find('/', start);
    if (end == std::string_view::npos) end = raw.size();
    std::string_view part = raw.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out += part;
    }
    start = end + 1;
  }
}

// str(Path(path) / name) on POSIX, in bytes: a name with a root replaces
// the path; "" is ".".
std::string pathlib_text(std::string_view path, std::string_view name) {
  // Built by appending only: assigning a view to a string links against
  // newer C++ runtimes (GCC 13 and later) than the wheels may require.
  const bool name_rooted = !root_of(name).empty();
  std::string out;
  out.reserve(path.size() + name.size() + 2);
  out.append(root_of(name_rooted ? name : path));
  append_parts(out, name_rooted ? name : path);
  if (!name_rooted) append_parts(out, name);
  if (out.empty()) out.append(".");
  return out;
}

}  // namespace

// The joined text, or (`valid` false) a NUL or a text the file-system
// encoding refuses; `surrogates` tells whether an input held any.
struct StandardPaths::Joined {
  bool valid;
  bool surrogates;
  std::string bytes;
};

std::optional<StandardPaths::Joined> StandardPaths::joined(const Call& call, Handle path, Handle name,
                                                           Guard unchanged) const {
  if (!name.is_null() && !name.is_exact(&PyUnicode_Type)) return std::nullopt;
  const bool path_object = path.is_exact(reinterpret_cast<PyTypeObject*>(concrete_.ptr()));
  if (!path_object && !path.is_exact(&PyUnicode_Type)) return std::nullopt;
  if (!(this->*unchanged)(call)) return std::nullopt;
  Ref path_text = Ref::borrow(path);
  if (path_object) {
    // pathlib makes the text in Python code, which may replace a function.
    path_text = Ref::steal(PyObject_Str(path.ptr()));
    if (!path_text.is_exact(&PyUnicode_Type) || !(this->*unchanged)(call)) return std::nullopt;
  }
  const bool surrogates = has_surrogates(path_text) || (!name.is_null() && has_surrogates(name));
  const bool utf8 = utf8_ && !surrogates;
  const Encoded path_bytes(path_text, utf8);
  const Encoded name_bytes(name.is_null() ? Handle(""_id.get()) : name, utf8);
  if (path_bytes.refused() || name_bytes.refused()) return Joined{false, surrogates, {}};
  std::string full = pathlib_text(path_bytes.bytes(), name_bytes.bytes());
  if (full.find('\0') != std::string::npos) return Joined{false, surrogates, {}};
  return Joined{true, surrogates, std::move(full)};
}

std::optional<OpenTarget> StandardPaths::text_of(const Call& call, Handle path, Handle name, Guard unchanged) const {
  if (!utf8_) return std::nullopt;
  std::optional<Joined> target = joined(call, path, name, unchanged);
  if (!target || !target->valid || target->surrogates) return std::nullopt;
  Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(target->bytes.data(), target->bytes.size()));
  return OpenTarget{std::move(target->bytes), std::move(text)};
}

std::optional<OpenTarget> StandardPaths::opened(const Call& call, Handle path, Handle name) const {
  return text_of(call, path, name, &StandardPaths::opening_unchanged);
}

std::optional<StandardPaths::Renaming> StandardPaths::renamed(const Call& call, Handle path, Handle name,
                                                              Handle new_name) const {
  std::optional<OpenTarget> source = text_of(call, path, name, &StandardPaths::renaming_unchanged);
  if (!source) return std::nullopt;
  // Joining an exact str runs no code (its texts are not objects the
  // collector tracks), so what the guard found still holds; a path object's
  // text is made by Python code, which may change it.
  Guard unchanged =
      path.is_exact(&PyUnicode_Type) ? &StandardPaths::still_unchanged : &StandardPaths::renaming_unchanged;
  std::optional<OpenTarget> target = text_of(call, path, new_name, unchanged);
  if (!target) return std::nullopt;
  return Renaming{std::move(*source), std::move(*target)};
}

std::optional<EntryKind> StandardPaths::entry(const Call& call, Handle path, Handle name) const {
  std::optional<Joined> target = joined(call, path, name, &StandardPaths::unchanged);
  if (!target) return std::nullopt;
  if (!target->valid) return EntryKind::missing;
  const std::string& full = target->bytes;
  struct stat status{};
  int result;
  int error;
  Py_BEGIN_ALLOW_THREADS;
  result = stat(full.c_str(), &status);
  error = errno;
  Py_END_ALLOW_THREADS;
  if (result != 0) {
    // The errors pathlib's steps take for a missing entry on every version.
    if (error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP) return EntryKind::missing;
    return std::nullopt;
  }
  if (S_ISDIR(status.st_mode)) return EntryKind::folder;
  if (S_ISREG(status.st_mode)) return EntryKind::file;
  return EntryKind::other;
}

}  // namespace tools
