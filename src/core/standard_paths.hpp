// Existence tests of the standard library's path steps, `Path(path)` (or
// `Path(path) / name`) then `exists()` and `is_dir()` / `is_file()`, answered
// with one `stat` and no path object, while nothing those steps reach has
// been replaced.
#pragma once

#include <optional>

#include "core/function.hpp"

namespace tools {

// getattr(object, name) is `expected` (a missing attribute is not).
bool attribute_is(Handle object, Name name, Handle expected);

enum class EntryKind { missing, folder, file, other };

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

 private:
  bool unchanged(const Call& call) const;

  Ref os_, os_path_, path_class_, concrete_;
  Ref stat_, exists_, isdir_, isfile_;
  Ref path_exists_, path_is_dir_, path_is_file_, path_stat_;
};

}  // namespace tools
