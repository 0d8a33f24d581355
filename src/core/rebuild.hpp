// Rebuilding dict, list and tuple values as new plain containers, item by
// item, exactly as a Python loop over each of them would read it: an exact
// dict in place with the dict iterator's checks, an exact list by index with
// its size re-read at every step, anything else through items() / iter().
//
// A walker decides what each item becomes:
//   Ref item(Handle value)              the new element for a list or tuple element
//   Ref entry(Handle key, Handle value) the new value for a dictionary entry
//   bool kept(Handle key, Handle value) whether entry() would give back `value`
//                                       itself, known without running Python
//                                       code (false when unsure)
// and keeps a WalkState (below), `WalkState& state()`: the steps here tell it
// (through the walker's python_may_run(), quiet() and epoch()) before anything that
// may run Python code (a user's __iter__, __hash__, __eq__, items(), the
// finalizer of something dropped), and ask it to keep Python code out of the
// stretches that rely on its absence. `value` and `key` are borrowed from the
// container: the walker takes its own reference before it runs any Python code.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/cpython_internals.hpp"
#include "core/except.hpp"
#include "core/ref.hpp"

namespace tools {

class PrivateDict;

// What a walk knows of the Python code that may have run: a count that rises
// whenever code of the caller's may run, and the collector paused while none
// is meant to (on the versions where an allocation can start it). Walkers
// keep call-time lookups cached while the count stays where it was when they
// made them.
class WalkState {
 public:
  WalkState() = default;
  WalkState(const WalkState&) = delete;
  WalkState& operator=(const WalkState&) = delete;

  // Python code of the caller's may run from here on: the dicts being
  // filled in place are hidden from it first.
  void python_may_run();
  // No Python code runs from here until the next python_may_run(): none that
  // the steps call, and no collection inside an allocation either.
  void quiet() { pause_.pause(); }
  std::uint64_t epoch() const { return epoch_; }

  // Whether the lookups made at the last sync() still hold.
  bool in_sync() const { return synced_ == epoch_; }
  // The lookups are made now, and hold until Python code may run.
  void sync() {
    quiet();
    synced_ = epoch_;
  }

  WalkState& state() { return *this; }

 private:
  friend class PrivateDict;

  CollectorPause pause_;
  std::uint64_t epoch_ = 1;
  std::uint64_t synced_ = 0;  // the epoch the cached lookups were made in
  // The dicts being filled in place and not yet hidden, innermost last.
  std::vector<PrivateDict*> visible_;
};

// Whether dropping this reference frees the object (and so may run a __del__).
inline bool is_last_reference(Handle object) { return Py_REFCNT(object.ptr()) == 1; }

// Drops `held`, telling the walker first when that may run Python code.
template <class Walker>
void release(Ref& held, Walker& walker) {
  if (!held.is_null() && is_last_reference(held)) walker.python_may_run();
  held = Ref();
}

// Keys whose hashing and comparing with each other run no Python code.
inline bool is_plain_key(Handle key) { return key.is_exact(&PyUnicode_Type) || key.is_exact(&PyLong_Type); }

// Types for which isinstance() against dict, list or tuple is known to be false
// without looking at `__class__`.
inline bool is_plain_leaf(Handle value) {
  PyTypeObject* type = value.type();
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type;
}

// A new dict filled entry by entry (made at the first entry).
class DictBuilder {
 public:
  // Stores one entry. Hashing or comparing a key of another type runs Python
  // code, and so does dropping a value it replaces when the dict held its
  // last reference: the walker is told first.
  template <class Walker>
  void set(Handle key, Handle value, Walker& walker) {
    if (dict_.is_null()) dict_ = new_dict();
    plain_keys_ = plain_keys_ && is_plain_key(key);
    if (!plain_keys_) {
      walker.python_may_run();
      set_item(dict_, key, value);
      return;
    }
    PyObject* present = PyDict_SetDefault(dict_.ptr(), key.ptr(), value.ptr());  // borrowed
    if (present == nullptr) throw_python_error();
    if (present == value.ptr()) return;
    Ref replaced = Ref::borrow(present);
    set_item(dict_, key, value);
    release(replaced, walker);
  }
  Ref finish() { return dict_.is_null() ? new_dict() : std::move(dict_); }

 private:
  Ref dict_;
  bool plain_keys_ = true;
};

// Reads an exact dict in place the way its iterator does: an error when its
// size changed since the start, or when it yields more entries than it had.
class DictReader {
 public:
  explicit DictReader(Handle dict) : dict_(dict), used_(PyDict_GET_SIZE(dict.ptr())), remaining_(used_) {}

  bool next(PyObject** key, PyObject** value) {
    if (PyDict_GET_SIZE(dict_.ptr()) != used_) {
      raise_error(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    if (!PyDict_Next(dict_.ptr(), &position_, key, value)) return false;
    if (remaining_-- == 0) raise_error(PyExc_RuntimeError, "dictionary keys changed during iteration");
    return true;
  }

  // Passes over the next entry of a dict with dense entries that has not
  // changed since the reading began, as next() would.
  void skip() {
    ++position_;
    --remaining_;
  }

 private:
  Handle dict_;
  Py_ssize_t used_;
  Py_ssize_t remaining_;
  Py_ssize_t position_ = 0;
};

// A dict of the first `count` entries of `dict`, whose keys are all exact
// str and distinct: nothing is hashed by Python code, nothing replaced.
template <class Walker>
[[gnu::noinline]] DictBuilder first_entries(Handle dict, Py_ssize_t count, Walker& walker) {
  DictBuilder result;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t i = 0; i < count && PyDict_Next(dict.ptr(), &position, &key, &value); ++i) {
    result.set(key, value, walker);
  }
  return result;
}

// A dict that only the walk can reach while it fills it. Before any Python
// code may run (the walk tells its WalkState) it is taken away from the
// collector, and so from gc.get_objects() and whatever a hook would do with
// it, and tracked again at the end if the interpreter would have tracked it
// by then. Until then the collector has it where the interpreter put it:
// among the dicts and lists made before and after it, in the order a
// collection reads them best.
class PrivateDict {
 public:
  PrivateDict(Ref dict, WalkState& state) : dict_(std::move(dict)), state_(state) {
    tracked_ = PyObject_GC_IsTracked(dict_.ptr());
    state_.visible_.push_back(this);
  }
  ~PrivateDict() {
    // Dicts are filled one inside another: a visible one is the innermost.
    if (!state_.visible_.empty() && state_.visible_.back() == this) state_.visible_.pop_back();
  }
  PrivateDict(const PrivateDict&) = delete;
  PrivateDict& operator=(const PrivateDict&) = delete;

  Handle get() const { return dict_; }
  // Whether the collector is to track it: true once anything obliged it to.
  bool& tracked() { return tracked_; }
  void hide() {
    if (dict_.is_null() || !PyObject_GC_IsTracked(dict_.ptr())) return;
    tracked_ = true;
    PyObject_GC_UnTrack(dict_.ptr());
  }
  Ref finish() {
    if (tracked_ && !PyObject_GC_IsTracked(dict_.ptr())) PyObject_GC_Track(dict_.ptr());
    return std::move(dict_);
  }

 private:
  Ref dict_;
  WalkState& state_;
  bool tracked_ = false;
};

inline void WalkState::python_may_run() {
  for (PrivateDict* dict : visible_) dict->hide();
  visible_.clear();
  pause_.resume();
  ++epoch_;
}

// `{k: walker.entry(k, v) for k, v in dict.items()}` for an exact dict, read
// in place with the checks of the dict iterator.
//
// A dict with only str keys starts as a copy whose values are replaced
// where an entry changes (in place, where the entries can be reached):
// copying keeps the key table as it is instead of inserting and growing.
// That holds only while no Python code runs: the copy then still has the
// keys the source has, in the same order, and where the walk has not been
// yet, the source's values. Once some may have run, the entries done so far
// move into a dict built entry by entry. Until then the copy is private, so
// that code run elsewhere in the walk cannot change it either.
template <class Walker>
[[gnu::noinline]] Ref rebuild_exact_dict(Handle dict, Walker& walker) {
  walker.quiet();
  DictReader reader(dict);
  std::optional<PrivateDict> copy;
  // A view of the dict's entries is only taken of one with str keys alone.
  if (DictEntries::of(dict) || has_only_str_keys(dict)) {
    copy.emplace(Ref::steal(PyDict_Copy(dict.ptr())), walker.state());
  }
  DictEntries copied_entries = copy ? DictEntries::of(copy->get()) : DictEntries();
  if (copied_entries.size() != static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr()))) copied_entries = {};
  const auto unchanged = walker.epoch();
  // While no Python code has run, the source is as it was: where its entries
  // are dense, entry i is the i-th the reader yields, and an entry whose
  // value comes back as itself needs nothing done, since the copy holds it.
  const DictEntries source_entries = copied_entries ? DictEntries::of(dict) : DictEntries();
  const std::size_t size = source_entries.size();
  Py_ssize_t copied = 0;
  DictBuilder built;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (source_entries && walker.epoch() == unchanged) {
      auto index = static_cast<std::size_t>(copied);
      while (index < size && walker.kept(source_entries.key(index), source_entries.value(index))) {
        reader.skip();
        ++index;
      }
      copied = static_cast<Py_ssize_t>(index);
    }
    if (!reader.next(&key, &value)) break;
    Ref held_key = Ref::borrow(key);
    Ref new_value = walker.entry(held_key, value);
    if (copy && walker.epoch() == unchanged) {
      if (!new_value.is(value)) {
        if (copied_entries) {
          copied_entries.replace_value(static_cast<std::size_t>(copied), new_value, copy->tracked());
        } else {
          check(PyDict_SetItem(copy->get().ptr(), held_key.ptr(), new_value.ptr()));
        }
      }
      ++copied;
    } else {
      if (copy) {
        built = first_entries(copy->get(), copied, walker);
        // The copy may hold the last reference to a value the walk has not
        // reached, since the source may have changed meanwhile.
        walker.python_may_run();
        copy.reset();
      }
      built.set(held_key, new_value, walker);
    }
    release(held_key, walker);
  }
  return copy ? copy->finish() : built.finish();
}

// `{k: walker.entry(k, v) for k, v in mapping.items()}`, the items coming
// from the object's own items() method.
template <class Walker>
[[gnu::noinline]] Ref rebuild_items(Handle mapping, Walker& walker) {
  DictBuilder result;
  walker.python_may_run();
  Ref iterator = mapping.method("items"_id).iter();
  Ref item;
  for (;;) {
    walker.python_may_run();  // its __next__, and dropping the item before
    item = next(iterator);
    if (item.is_null()) break;
    auto [key, value] = unpack<2>(item);
    Ref new_value = walker.entry(key, value);
    result.set(key, new_value, walker);
    walker.python_may_run();  // dropping the key and value, which the walk held
  }
  return result.finish();
}

// Items of a list or tuple are objects scattered through memory, each read
// for its type first; asking for them a few items ahead hides most of the
// wait for memory behind the work on the current one.
constexpr Py_ssize_t kPrefetchDistance = 6;

inline void prefetch_list_item(Handle list, Py_ssize_t index) {
  if (index < PyList_GET_SIZE(list.ptr())) __builtin_prefetch(PyList_GET_ITEM(list.ptr(), index));
}

inline void prefetch_tuple_item(Handle tuple, Py_ssize_t index) {
  if (index < PyTuple_GET_SIZE(tuple.ptr())) __builtin_prefetch(PyTuple_GET_ITEM(tuple.ptr(), index));
}

// `[walker.item(v) for v in list]` for an exact list.
template <class Walker>
[[gnu::noinline]] Ref rebuild_exact_list(Handle list, Walker& walker) {
  ListBuilder result(PyList_GET_SIZE(list.ptr()));
  // The list iterator re-reads the size at every step: Python code run for
  // one element may have grown or shrunk the list.
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(list.ptr()); ++index) {
    prefetch_list_item(list, index + kPrefetchDistance);
    result.push(walker.item(PyList_GET_ITEM(list.ptr(), index)));
  }
  return result.finish();
}

// The items of `iterator` walked into a new list.
template <class Walker>
Ref rebuild_from_iterator(Handle iterator, Walker& walker) {
  ListBuilder result(0);
  Ref element;
  for (;;) {
    walker.python_may_run();  // its __next__, and dropping the element before
    element = next(iterator);
    if (element.is_null()) break;
    result.push(walker.item(element));
  }
  return result.finish();
}

// `[walker.item(v) for v in iterable]` through iter().
template <class Walker>
[[gnu::noinline]] Ref rebuild_iterated_list(Handle iterable, Walker& walker) {
  walker.python_may_run();
  return rebuild_from_iterator(iterable.iter(), walker);
}

// A tuple is rebuilt through a generator: `iterable` is taken when the
// generator is made, outside its body; everything after that runs in the
// body, where a StopIteration becomes the generator's RuntimeError.

// `tuple(walker.item(v) for v in tuple)` for an exact tuple, whose items
// cannot change while it is read.
template <class Walker>
[[gnu::noinline]] Ref rebuild_exact_tuple(Handle tuple, Walker& walker) {
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple.ptr());
  Ref result = Ref::steal(PyTuple_New(size));
  if (size == 0) return result;
  // Kept away from the collector (and so from gc.get_objects()) until every
  // slot is filled.
  PyObject_GC_UnTrack(result.ptr());
  try {
    for (Py_ssize_t index = 0; index < size; ++index) {
      prefetch_tuple_item(tuple, index + kPrefetchDistance);
      PyTuple_SET_ITEM(result.ptr(), index, walker.item(PyTuple_GET_ITEM(tuple.ptr(), index)).release());
    }
  } catch (const PythonError&) {
    rethrow_from_generator_body();
  }
  PyObject_GC_Track(result.ptr());
  return result;
}

// `tuple(walker.item(v) for v in iterable)` through iter().
template <class Walker>
[[gnu::noinline]] Ref rebuild_iterated_tuple(Handle iterable, Walker& walker) {
  walker.python_may_run();
  Ref iterator = iterable.iter();
  Ref items;
  try {
    items = rebuild_from_iterator(iterator, walker);
  } catch (const PythonError&) {
    rethrow_from_generator_body();
  }
  return Ref::steal(PyList_AsTuple(items.ptr()));
}

// isinstance(value, cls), which may consult a `__class__` attribute.
template <class Walker>
bool instance_of(Handle value, PyTypeObject* cls, Walker& walker) {
  walker.python_may_run();
  return value.is_instance(reinterpret_cast<PyObject*>(cls));
}

// An instance of dict, list or tuple (subclasses and `__class__` included)
// rebuilt as a plain one; an empty Ref for any other value.
template <class Walker>
Ref rebuild_container(Handle value, Walker& walker) {
  PyTypeObject* type = value.type();
  if (type == &PyDict_Type) return rebuild_exact_dict(value, walker);
  if (type == &PyList_Type) return rebuild_exact_list(value, walker);
  if (type == &PyTuple_Type) return rebuild_exact_tuple(value, walker);
  if (is_plain_leaf(value)) return Ref();
  if (instance_of(value, &PyDict_Type, walker)) return rebuild_items(value, walker);
  if (instance_of(value, &PyList_Type, walker)) return rebuild_iterated_list(value, walker);
  if (instance_of(value, &PyTuple_Type, walker)) return rebuild_iterated_tuple(value, walker);
  return Ref();
}

}  // namespace tools
