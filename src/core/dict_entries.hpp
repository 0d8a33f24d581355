// Direct access to the entries of plain dicts, for loops over many small
// dicts where PyDict_Next and PyDict_SetItem cost more than the work itself.
//
// The interpreter keeps the layout of a dict's key table private. It is
// mirrored here for 3.13 (with the GIL) and compared with what the public
// API reports once, at first use; when it does not match, every view is
// empty and callers keep to the public API. A view only covers dicts whose
// keys are all exact str and whose entries are dense (a combined table with
// nothing deleted), so that entry i is the i-th item in iteration order.
#pragma once

#include <cstddef>

#include "core/ref.hpp"

namespace tools {

class DictEntries {
 public:
  DictEntries() = default;

  // The entries of `dict`, which must be an exact dict; empty when it is not
  // laid out as described above or the layout is not the one mirrored here.
  static DictEntries of(Handle dict);

  explicit operator bool() const { return entries_ != nullptr; }
  std::size_t size() const { return size_; }
  // Borrowed, valid while the dict is not changed.
  PyObject* key(std::size_t index) const { return entries_[2 * index]; }
  PyObject* value(std::size_t index) const { return entries_[2 * index + 1]; }

 private:
  friend Ref copy_with_values(Handle shape, PyObject* const* values);
  DictEntries(PyObject** entries, std::size_t size) : entries_(entries), size_(size) {}
  PyObject** entries_ = nullptr;
  std::size_t size_ = 0;
};

// A new dict holding the keys of `shape` in its order, with values[i] under
// the i-th key: the same dict as inserting those pairs one by one, garbage
// collector tracking included. `shape` must be an exact dict of exact str
// keys that only the caller can reach.
Ref copy_with_values(Handle shape, PyObject* const* values);

// Starts loading the key table of `dict` (an exact dict, itself already in
// the cache) ahead of use. Only a hint: it changes nothing and cannot fault.
void prefetch_entries(Handle dict);

}  // namespace tools
