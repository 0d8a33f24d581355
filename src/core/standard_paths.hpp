// Existence tests of the standard library's path steps, `Path(path)` (or
// `Path(path) / name`) then `exists()` and `is_dir()` / `is_file()`, answered
// with one `stat` and no path object, while nothing those steps reach has
// been replaced.
#pragma once

#include <optional>
#include <string>

#include "core/function.hpp"

namespace tools {

// getattr(object, name) is `expected` (a missing attribute is not).
bool attribute_is(Handle object, Name name, Handle expected);

enum class EntryKind { missing, folder, file, other };

// A file the steps open by the built-in open(): its text in file-system
// bytes, and the str open() reports it by (the audit event, the file's
// name, an error's filename).
struct OpenTarget {
  std::string bytes;
  Ref text;
};

class StandardPaths {
 public:
  // What the steps reach, as found at import: the `os` module and the
  // module's `Path`, which must be pathlib's.
  StandardPaths(Handle os, Handle path_class);

  // What the steps' stat of `Path(path)` / `Path(path) / name` finds (links
  // followed); `missing` where they answer False without a system call (a
  // NUL, a text the file-system encoding cannot take) or after an error they
  // take for "no such entry". Empty when the steps must run instead: the
  // module's `Path`, a method of it or an `os` function they reach is not
  // the one found at import, an argument is not an exact str (or, for
  // `path`, an exact standard path object), or stat failed otherwise (the
  // steps raise that error, or on newer interpreters answer False).
  std::optional<EntryKind> entry(const Call& call, Handle path, Handle name = Handle()) const;

  // What `open(Path(path) / name, ...)` opens, while the module's `Path`,
  // the path class's `/` and `__fspath__` and the module's `open` are the
  // ones found at import (the built-in), the arguments are as for entry(),
  // and the text comes back from the file-system encoding as it went in (no
  // surrogates, UTF-8). Empty when the steps must run, also for a text they
  // refuse before opening (a NUL, an unencodable character).
  std::optional<OpenTarget> opened(const Call& call, Handle path, Handle name) const;

  // What `os.rename(src=path / name, dst=path / new_name)` renames, with
  // `path = Path(path)`, on the same terms as opened(), with the module's
  // `os` and its `rename` for the built-in open().
  struct Renaming {
    OpenTarget source, target;
  };
  std::optional<Renaming> renamed(const Call& call, Handle path, Handle name, Handle new_name) const;

 private:
  struct Joined;
  using Guard = bool (StandardPaths::*)(const Call&) const;
  std::optional<Joined> joined(const Call& call, Handle path, Handle name, Guard unchanged) const;
  bool path_unchanged(const Call& call) const;
  bool unchanged(const Call& call) const;
  bool opening_unchanged(const Call& call) const;
  bool renaming_unchanged(const Call& call) const;
  bool still_unchanged(const Call& call) const;
  std::optional<OpenTarget> text_of(const Call& call, Handle path, Handle name, Guard unchanged) const;

  Ref os_, os_path_, path_class_, concrete_;
  Ref stat_, exists_, isdir_, isfile_;
  Ref path_exists_, path_is_dir_, path_is_file_, path_stat_;
  Ref path_join_, path_fspath_, path_str_, open_, rename_;
  bool utf8_;  // the file-system encoding is UTF-8 with surrogateescape
};

}  // namespace tools
