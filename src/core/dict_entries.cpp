#include "core/dict_entries.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace tools {

namespace {

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
constexpr bool kMirrored = true;
#else
constexpr bool kMirrored = false;
#endif

// The head of a dict's key table (PyDictKeysObject in 3.13). The index table
// follows it, 2**log2_index_bytes bytes long, then the entries; in a table of
// str keys each entry is a (key, value) pair of pointers.
struct KeyTableHead {
  Py_ssize_t refcount;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t entry_count;  // entries used so far, deleted ones included
};
constexpr std::uint8_t kStrKeysKind = 1;

KeyTableHead head_of(PyObject* dict) {
  KeyTableHead head;
  std::memcpy(&head, reinterpret_cast<const PyDictObject*>(dict)->ma_keys, sizeof head);
  return head;
}

PyObject** dense_entries(PyObject* dict) {
  const auto* object = reinterpret_cast<const PyDictObject*>(dict);
  if (object->ma_values != nullptr) return nullptr;
  const KeyTableHead head = head_of(dict);
  if (head.kind != kStrKeysKind || head.entry_count != object->ma_used) return nullptr;
  char* indices = reinterpret_cast<char*>(object->ma_keys) + sizeof(KeyTableHead);
  return reinterpret_cast<PyObject**>(indices + (std::size_t{1} << head.log2_index_bytes));
}

// A fresh dict of three str keys must have the smallest table (8 slots,
// one-byte indices) with its pairs in insertion order, and so must its copy;
// a dict with a key that is not a str must not be taken for one of str keys.
bool sample_matches(Handle dict, std::initializer_list<Handle> keys) {
  const KeyTableHead head = head_of(dict.ptr());
  if (head.refcount < 1 || head.log2_size != 3 || head.log2_index_bytes != 3 || head.kind != kStrKeysKind ||
      head.entry_count != static_cast<Py_ssize_t>(keys.size())) {
    return false;
  }
  PyObject** entries = dense_entries(dict.ptr());
  std::size_t index = 0;
  for (Handle key : keys) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (entries[2 * index] != key.ptr() || entries[2 * index + 1] != value) return false;
    ++index;
  }
  return true;
}

bool layout_matches() {
  if constexpr (!kMirrored) return false;
  if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) return false;
  try {
    Ref first = text("first");
    Ref second = text("second");
    Ref third = text("third");
    Ref sample = new_dict();
    set_item(sample, first, integer(1000));
    set_item(sample, second, integer(2000));
    set_item(sample, third, text("3000"));
    Ref copy = Ref::steal(PyDict_Copy(sample.ptr()));
    Ref mixed = new_dict();
    set_item(mixed, first, integer(1));
    set_item(mixed, integer(2), integer(2));
    return sample_matches(sample, {first, second, third}) && sample_matches(copy, {first, second, third}) &&
           dense_entries(mixed.ptr()) == nullptr;
  } catch (const PythonError&) {
    PyErr_Clear();
    return false;
  }
}

bool layout_known() {
  static const bool known = layout_matches();
  return known;
}

// Whether storing `value` in a dict obliges the collector to track the dict.
bool may_be_tracked(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (!PyType_IS_GC(type) || (type->tp_is_gc != nullptr && !type->tp_is_gc(value))) return false;
  return !PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value);
}

}  // namespace

DictEntries DictEntries::of(Handle dict) {
  if (!layout_known()) return {};
  PyObject** entries = dense_entries(dict.ptr());
  if (entries == nullptr) return {};
  return {entries, static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr()))};
}

Ref copy_with_values(Handle shape, PyObject* const* values) {
  Ref copy = Ref::steal(PyDict_Copy(shape.ptr()));
  DictEntries entries = DictEntries::of(copy);
  if (!entries || entries.size() != static_cast<std::size_t>(PyDict_GET_SIZE(shape.ptr()))) {
    Py_ssize_t position = 0;
    PyObject* key;
    for (std::size_t index = 0; PyDict_Next(shape.ptr(), &position, &key, nullptr); ++index) {
      set_item(copy, key, values[index]);
    }
    return copy;
  }
  bool tracked = PyObject_GC_IsTracked(copy.ptr());
  for (std::size_t index = 0; index < entries.size(); ++index) {
    PyObject*& slot = entries.entries_[2 * index + 1];
    PyObject* old = std::exchange(slot, Py_NewRef(values[index]));
    Py_XDECREF(old);  // still held by `shape`
    if (!tracked && may_be_tracked(values[index])) {
      PyObject_GC_Track(copy.ptr());
      tracked = true;
    }
  }
  return copy;
}

void prefetch_entries(Handle dict) {
  constexpr Py_ssize_t kLine = 64;
  constexpr Py_ssize_t kMaxLines = 32;
  const auto* object = reinterpret_cast<const PyDictObject*>(dict.ptr());
  const auto* table = reinterpret_cast<const char*>(object->ma_keys);
  // the head, the index table and entries of up to 24 bytes each, roughly
  const Py_ssize_t bytes = static_cast<Py_ssize_t>(sizeof(KeyTableHead)) + 28 * object->ma_used;
  const Py_ssize_t lines = std::min(kMaxLines, bytes / kLine + 1);
  for (Py_ssize_t line = 0; line < lines; ++line) __builtin_prefetch(table + kLine * line);
}

}  // namespace tools
