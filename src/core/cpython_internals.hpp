// The only place where this package reaches past the interpreter's public C
// API: private functions, and the memory layout of built-in objects.
//
// Every use here
//   - says what it buys, measured on its own benchmark case (`make bench`
//     lists the figures next to the public-API build's);
//   - is compiled only for the interpreters it was checked against (3.11 to
//     3.15, with the global interpreter lock: TOOLS_PRIVATE_PATHS below);
//   - checks the layout it relies on once, at first use, where that can be
//     checked, and stays off when the check fails;
//   - has a public-API fallback that gives the same results.
// Configuring with TOOLS_PUBLIC_API_ONLY=ON switches every use off, and the
// test suite runs against that build as well as the normal one.
#pragma once

#include <cstddef>

#include "core/ref.hpp"

namespace tools {

// The gate: the interpreters these uses were checked against, each by its
// own headers (the dict key table head, dict and list objects, the handled
// exception's stack entry and the generic attribute lookup are laid out and
// declared alike in 3.11, 3.12, 3.13, 3.14 and 3.15 with the global
// interpreter lock). A new version joins the list once it has been checked.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000
#define TOOLS_CHECKED_VERSION 1
#else
#define TOOLS_CHECKED_VERSION 0
#endif
#if !defined(TOOLS_PUBLIC_API_ONLY) && !defined(Py_GIL_DISABLED) && TOOLS_CHECKED_VERSION
#define TOOLS_PRIVATE_PATHS 1
#else
#define TOOLS_PRIVATE_PATHS 0
#endif

// ---------------------------------------------------------------------------
// Dict key tables: the entries of plain dicts read and written in place.
//
// Buys: table construction and filtering over many small rows, and the value
// walkers' rebuilt dicts, where PyDict_Next, PyDict_Contains and
// PyDict_SetItem cost more than the work.
// Fallback: the view is empty, and callers take the public API.
//
// A view only covers an exact dict whose keys are all exact str and whose
// entries are dense (a combined table with nothing deleted), so that entry i
// is the i-th item in iteration order.
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

  // Puts `value` in place of the value of entry `index` of the dict this
  // view was taken of, which only the caller can reach: the same dict as
  // PyDict_SetItem under that entry's key makes, but for the collector's
  // tracking, which is left to the caller: `tracked` tells whether the dict
  // is to be tracked, and becomes true when `value` obliges it. The old value
  // must be held elsewhere too, so that dropping it here runs no code.
  void replace_value(std::size_t index, Handle value, bool& tracked) const;

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

// Starts loading the key table of `dict` (an exact dict) ahead of use. Only a
// hint: it changes nothing and cannot fault.
void prefetch_entries(Handle dict);

// ---------------------------------------------------------------------------
// Lists filled in place.
//
// Buys: rebuilding long lists item by item (the value walkers), where
// PyList_Append's checks and growth cost more than storing the item.
// Fallback: PyList_Append on a list that starts empty.
//
// A new list filled by appending, with room for the expected number of items
// taken up front. It is a valid list (of the items pushed so far) throughout,
// since Python code may see it (gc.get_objects()) while it is being filled.
class ListBuilder {
 public:
  explicit ListBuilder(Py_ssize_t expected);

  void push(Ref item) {
#if TOOLS_PRIVATE_PATHS
    auto* list = reinterpret_cast<PyListObject*>(list_.ptr());
    const Py_ssize_t size = Py_SIZE(list);
    if (in_place_ && size < list->allocated) {
      list->ob_item[size] = item.release();
      Py_SET_SIZE(list, size + 1);
      return;
    }
#endif
    append(list_, item);
  }
  Ref finish() { return std::move(list_); }

 private:
  Ref list_;
  bool in_place_ = false;  // whether the private path filled the room taken up front
};

// ---------------------------------------------------------------------------
// The exception being handled.
//
// Buys: exactness, not speed. Entering an except clause makes an exception
// the one being handled in the innermost entry of the thread's stack of
// handled exceptions, and leaving it restores that entry exactly, empty or
// not. The public API reads the innermost non-empty entry and writes the
// innermost one, so it cannot tell an empty entry from one that repeats the
// entry below it.
// Fallback: the public calls, restoring an entry as empty when it reads the
// same as the one below it (the same object in both: nothing can tell the
// two apart until a generator holding that entry moves to another stack).
class HandledException {
 public:
  // Makes `exception` the one being handled until destruction.
  explicit HandledException(Handle exception);
  ~HandledException();
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  PyObject* previous_ = nullptr;  // owned, may be NULL
  bool in_place_ = false;         // whether the private path made the swap
};

// ---------------------------------------------------------------------------
// Quiet attribute reads.
//
// Buys: `SlotWarden.has_attribute` on a missing attribute, which the public
// lookup can only report by building an AttributeError (its message, its
// context) that is thrown away at once.
// Fallback: object's public generic lookup, the AttributeError cleared.

// object.__getattribute__(obj, name) with the lookup `object` itself makes;
// empty when it failed, with the exception set, except that with `quiet` an
// AttributeError leaves no exception set.
Ref generic_getattr(Handle obj, Handle name, bool quiet);

// ---------------------------------------------------------------------------
// Bytes made shorter in place.
//
// Buys: reading a whole file into a bytes object sized by the file's size
// plus one, without copying it out again once the end shows.
// Fallback: a copy of the first `size` bytes.

// `bytes` (only the caller holds it) cut to its first `size` bytes.
Ref shrunk_bytes(Ref bytes, Py_ssize_t size);

// ---------------------------------------------------------------------------
// The class of an object, asked without running code.
//
// Buys: `SlotWarden`'s private names, which take `obj.__class__`; the lookup
// of an attribute costs more than the rest of the read.
// Fallback: false, and callers ask `obj.__class__`.

// Whether `obj.__class__` is certainly type(obj): the object's type looks
// attributes up as `object` does and what it finds for `__class__` is
// object's own descriptor.
bool class_is_own_type(Handle obj);

// ---------------------------------------------------------------------------
// Functions read off a plain class.
//
// Buys: `SlotWarden`'s static methods, which reach each other through the
// module's class at every call, and the guards of the standard-path calls,
// which see at every call that the path class's methods are the ones found
// at import; the class's attribute lookup searches its metaclass first and
// costs more than the rest of a quick read.
// Fallback: empty, and callers take the class's attribute lookup.

// Whether `cls.<name>` is certainly `expected`, asked without running code:
// `cls` is a class whose metaclass is `type` itself, `type` has no data
// descriptor under the name, and the class's own lookup finds `expected`, a
// function (which a class gives as it is). False when unknown. `name` must be
// an exact str.
bool class_gives(Handle cls, Handle name, Handle expected);

// `cls.<name>`, when `cls` is a class as above and its own lookup finds an
// exact staticmethod under the name: its function, as the lookup gives it,
// without running code. Empty otherwise (nothing read). `name` must be an
// exact str.
Ref static_member(Handle cls, Handle name);

}  // namespace tools
