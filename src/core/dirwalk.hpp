// Native directory counting that gives exactly the counts of the standard
// library's listing and walking functions, without making a Python object
// per entry. Entry types come from the directory listing; `stat` is called
// only where the listing cannot decide (links, unknown types).
#pragma once

#include <string>

#include "core/ref.hpp"

namespace tools {

struct ListingCount {
  int error = 0;  // errno of a listing that failed (nothing counted)
  Py_ssize_t found = 0;
};

// The entries of `folder` (file-system encoded) that `os.path.isfile` (when
// `files`) or `os.path.isdir` (when `folders`) accepts for `Path(folder) /
// name`, each counted once. Runs without the interpreter lock.
ListingCount count_listing(const std::string& folder, bool files, bool folders);

// The sum over what `os.walk(top)` yields of len(non-folder names) (when
// `files`) and len(folder names) (when `folders`): top-down, folders that
// cannot be listed skipped, links to folders counted as folders but not
// entered. Raises the "os.scandir" audit event for every folder it lists and
// lets signal handlers run between folders; throws PythonError when either
// raises, or with RecursionError where os.walk's own recursion would reach
// the interpreter's limit (on versions where it recurses).
Py_ssize_t count_walk(const std::string& top, bool files, bool folders);

}  // namespace tools
