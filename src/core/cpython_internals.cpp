#include "core/cpython_internals.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tools {

namespace {

// Whether the running interpreter is the version these uses were checked
// against, not merely the one compiled for.
bool same_interpreter_version() { return (Py_Version >> 16) == (PY_VERSION_HEX >> 16); }

// Whether a self-check passes, run at its first use only; one that raises
// counts as failed.
template <bool (*Check)()>
bool passes_once() {
  static const bool passed = [] {
    try {
      return same_interpreter_version() && Check();
    } catch (const PythonError&) {
      PyErr_Clear();
      return false;
    }
  }();
  return passed;
}

// Whether storing `value` in a dict obliges the collector to track the dict.
bool may_be_tracked(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  if (!PyType_IS_GC(type) || (type->tp_is_gc != nullptr && !type->tp_is_gc(value))) return false;
  return !PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Dict key tables

#if TOOLS_PRIVATE_PATHS

namespace {

// The head of a dict's key table (PyDictKeysObject, 3.11 to 3.15). The index table
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

bool dict_layout_matches() {
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
}

}  // namespace

#endif

DictEntries DictEntries::of([[maybe_unused]] Handle dict) {
#if TOOLS_PRIVATE_PATHS
  if (passes_once<dict_layout_matches>()) {
    if (PyObject** entries = dense_entries(dict.ptr())) {
      return {entries, static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr()))};
    }
  }
#endif
  return {};
}

namespace {

// Puts `value` in a dict's `slot`, whose old value is held elsewhere too;
// `tracked` tells whether the dict is to be tracked, and becomes true when
// `value` obliges it.
void store_value(PyObject*& slot, PyObject* value, bool& tracked) {
  PyObject* old = std::exchange(slot, Py_NewRef(value));
  Py_XDECREF(old);
  tracked = tracked || may_be_tracked(value);
}

}  // namespace

void DictEntries::replace_value(std::size_t index, Handle value, bool& tracked) const {
  store_value(entries_[2 * index + 1], value.ptr(), tracked);
}

Ref copy_with_values(Handle shape, PyObject* const* values) {
  Ref copy = Ref::steal(PyDict_Copy(shape.ptr()));
  const DictEntries entries = DictEntries::of(copy);
  if (entries && entries.size() == static_cast<std::size_t>(PyDict_GET_SIZE(shape.ptr()))) {
    const bool was_tracked = PyObject_GC_IsTracked(copy.ptr());
    bool tracked = was_tracked;
    for (std::size_t index = 0; index < entries.size(); ++index) {
      store_value(entries.entries_[2 * index + 1], values[index], tracked);
    }
    if (tracked && !was_tracked) PyObject_GC_Track(copy.ptr());
    return copy;
  }
  Py_ssize_t position = 0;
  PyObject* key;
  for (std::size_t index = 0; PyDict_Next(shape.ptr(), &position, &key, nullptr); ++index) {
    set_item(copy, key, values[index]);
  }
  return copy;
}

void prefetch_entries([[maybe_unused]] Handle dict) {
#if TOOLS_PRIVATE_PATHS
  if (!passes_once<dict_layout_matches>()) return;
  constexpr Py_ssize_t kLine = 64;
  constexpr Py_ssize_t kMaxLines = 32;
  const auto* object = reinterpret_cast<const PyDictObject*>(dict.ptr());
  const auto* table = reinterpret_cast<const char*>(object->ma_keys);
  // the head, the index table and entries of up to 24 bytes each, roughly
  const Py_ssize_t bytes = static_cast<Py_ssize_t>(sizeof(KeyTableHead)) + 28 * object->ma_used;
  const Py_ssize_t lines = std::min(kMaxLines, bytes / kLine + 1);
  for (Py_ssize_t line = 0; line < lines; ++line) __builtin_prefetch(table + kLine * line);
#endif
}

// ---------------------------------------------------------------------------
// Lists filled in place

#if TOOLS_PRIVATE_PATHS

namespace {

// A list made with room for two items holds them in `ob_item`, with
// `allocated` slots; with its size set back to none, storing into the first
// slot and growing the size by one makes it a list of that item.
bool list_layout_matches() {
  Ref first = text("first");
  Ref second = text("second");
  Ref sample = new_list(2);
  PyList_SET_ITEM(sample.ptr(), 0, Py_NewRef(first.ptr()));
  PyList_SET_ITEM(sample.ptr(), 1, Py_NewRef(second.ptr()));
  auto* list = reinterpret_cast<PyListObject*>(sample.ptr());
  if (list->allocated != 2 || list->ob_item[0] != first.ptr() || list->ob_item[1] != second.ptr()) return false;
  Ref filled = new_list(2);
  list = reinterpret_cast<PyListObject*>(filled.ptr());
  Py_SET_SIZE(list, 0);
  list->ob_item[0] = Py_NewRef(first.ptr());
  Py_SET_SIZE(list, 1);
  return PyList_GET_SIZE(filled.ptr()) == 1 && PyList_GET_ITEM(filled.ptr(), 0) == first.ptr() && list->allocated == 2;
}

}  // namespace

#endif

ListBuilder::ListBuilder(Py_ssize_t expected) {
#if TOOLS_PRIVATE_PATHS
  in_place_ = expected > 0 && passes_once<list_layout_matches>();
#endif
  list_ = new_list(in_place_ ? expected : 0);
  Py_SET_SIZE(list_.ptr(), 0);
}

// ---------------------------------------------------------------------------
// The exception being handled

#if TOOLS_PRIVATE_PATHS

namespace {

PyObject*& handled_slot() { return PyThreadState_Get()->exc_info->exc_value; }

// What the public setter writes is what the slot holds.
bool handled_slot_matches() {
  Ref sample = Ref::steal(PyObject_CallNoArgs(PyExc_LookupError));
  PyObject* saved = Py_XNewRef(handled_slot());
  PyErr_SetHandledException(sample.ptr());
  const bool matches = handled_slot() == sample.ptr();
  PyErr_SetHandledException(saved);
  Py_XDECREF(saved);
  return matches;
}

}  // namespace

#endif

HandledException::HandledException(Handle exception) {
#if TOOLS_PRIVATE_PATHS
  if (passes_once<handled_slot_matches>()) {
    in_place_ = true;
    previous_ = std::exchange(handled_slot(), Py_NewRef(exception.ptr()));
    return;
  }
#endif
  previous_ = PyErr_GetHandledException();
  PyErr_SetHandledException(exception.ptr());
}

HandledException::~HandledException() {
#if TOOLS_PRIVATE_PATHS
  if (in_place_) {
    Py_XSETREF(handled_slot(), previous_);
    return;
  }
#endif
  // `previous_` is what the innermost non-empty entry held. With this entry
  // emptied, the same reading means it was empty before.
  PyErr_SetHandledException(nullptr);
  PyObject* below = PyErr_GetHandledException();
  if (below != previous_) PyErr_SetHandledException(previous_);
  Py_XDECREF(below);
  Py_XDECREF(previous_);
}

// ---------------------------------------------------------------------------
// Quiet attribute reads

Ref generic_getattr(Handle obj, Handle name, bool quiet) {
#if TOOLS_PRIVATE_PATHS
  return Ref::steal_or_null(_PyObject_GenericGetAttrWithDict(obj.ptr(), name.ptr(), nullptr, quiet ? 1 : 0));
#else
  PyObject* value = PyObject_GenericGetAttr(obj.ptr(), name.ptr());
  if (value == nullptr && quiet && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return Ref::steal_or_null(value);
#endif
}

Ref shrunk_bytes(Ref bytes, Py_ssize_t size) {
  if (PyBytes_GET_SIZE(bytes.ptr()) == size) return bytes;
#if TOOLS_PRIVATE_PATHS
  PyObject* resized = bytes.release();
  if (_PyBytes_Resize(&resized, size) < 0) throw_python_error();
  return Ref::steal(resized);
#else
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes.ptr()), size));
#endif
}

bool class_is_own_type(Handle obj) {
#if TOOLS_PRIVATE_PATHS
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  // Borrowed from object's own dict, which holds it for good.
  static PyObject* const own = _PyType_Lookup(&PyBaseObject_Type, "__class__"_id.get());
  return own != nullptr && _PyType_Lookup(type, "__class__"_id.get()) == own;
#else
  static_cast<void>(obj);
  return false;
#endif
}

#if TOOLS_PRIVATE_PATHS
namespace {

// Whether `type` has no data descriptor under `name`. `type` cannot be
// changed, so the answer for a name holds for good: the names asked lately
// are kept (held, so that no other string takes their address).
bool no_data_descriptor_on_type(PyObject* name) {
  static PyObject* known[16] = {};
  for (PyObject* seen : known) {
    if (seen == name) return true;
  }
  PyObject* on_type = _PyType_Lookup(&PyType_Type, name);
  if (on_type != nullptr && Py_TYPE(on_type)->tp_descr_set != nullptr) return false;
  for (PyObject*& slot : known) {
    if (slot == nullptr) {
      slot = Py_NewRef(name);
      break;
    }
  }
  return true;
}

// What the class's own lookup finds under `name` (borrowed), when `cls` is a
// class whose metaclass is `type` itself and `type` has no data descriptor
// under the name: then type.__getattribute__ gives what that finds, through
// its __get__. NULL otherwise.
PyObject* plain_class_lookup(Handle cls, Handle name) {
  if (!Py_IS_TYPE(cls.ptr(), &PyType_Type) || !no_data_descriptor_on_type(name.ptr())) return nullptr;
  return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
}

}  // namespace
#endif

bool class_gives(Handle cls, Handle name, Handle expected) {
#if TOOLS_PRIVATE_PATHS
  return PyFunction_Check(expected.ptr()) && plain_class_lookup(cls, name) == expected.ptr();
#else
  static_cast<void>(cls);
  static_cast<void>(name);
  static_cast<void>(expected);
  return false;
#endif
}

Ref static_member(Handle cls, Handle name) {
#if TOOLS_PRIVATE_PATHS
  PyObject* found = plain_class_lookup(cls, name);
  if (found == nullptr || !Py_IS_TYPE(found, &PyStaticMethod_Type)) return Ref();
  return Ref::steal(PyStaticMethod_Type.tp_descr_get(found, nullptr, cls.ptr()));
#else
  static_cast<void>(cls);
  static_cast<void>(name);
  return Ref();
#endif
}

}  // namespace tools
