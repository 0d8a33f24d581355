// Owned and borrowed references to Python objects, interned names and calls.
//
// Error convention: a failing CPython call leaves its exception set and we
// throw PythonError; the function type and the module helpers catch it at the
// boundary and return NULL / -1 to the interpreter. Code in between never
// checks return codes by hand and never calls Py_DECREF itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/cpython_versions.hpp"

namespace tools {

// A Python exception is set; unwinds to the nearest boundary.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Raises `type` with a printf-style message (PyErr_Format's conversions).
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

// Throws when a CPython status code reports failure (negative).
inline int check(int status) {
  if (status < 0) throw_python_error();
  return status;
}

// ---------------------------------------------------------------------------
// Interned names: "path"_id is a constant that yields the interned str "path",
// made on first use and kept for the life of the process.

template <std::size_t N>
struct FixedString {
  char text[N]{};
  constexpr FixedString(const char (&literal)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
  }
};

PyObject* intern(const char* text);  // throws

class Name {
 public:
  using Getter = PyObject* (*)();
  constexpr explicit Name(Getter getter) : getter_(getter) {}
  PyObject* get() const { return getter_(); }

 private:
  Getter getter_;
};

template <FixedString S>
PyObject* interned() {
  static PyObject* object = intern(S.text);
  return object;
}

template <FixedString S>
constexpr Name operator""_id() {
  return Name{&interned<S>};
}

class Ref;

// A keyword argument of a call made from C++: f(x, Kw{"mode"_id, mode}).
struct Kw;

// ---------------------------------------------------------------------------
// A borrowed reference: valid as long as whoever owns the object keeps it.

class Handle {
 public:
  constexpr Handle() = default;
  constexpr Handle(PyObject* object) : ptr_(object) {}

  PyObject* ptr() const { return ptr_; }
  bool is_null() const { return ptr_ == nullptr; }
  bool is_none() const { return ptr_ == Py_None; }
  bool is(Handle other) const { return ptr_ == other.ptr_; }
  PyTypeObject* type() const { return Py_TYPE(ptr_); }
  bool is_exact(PyTypeObject* type) const { return Py_IS_TYPE(ptr_, type); }
  bool is_instance(Handle cls) const { return check(PyObject_IsInstance(ptr_, cls.ptr_)) != 0; }
  const char* type_name() const { return Py_TYPE(ptr_)->tp_name; }

  bool truth() const { return check(PyObject_IsTrue(ptr_)) != 0; }
  Py_ssize_t size() const;  // len()
  Ref attr(Name name) const;
  Ref attr(Handle name) const;
  Ref str() const;
  Ref format() const;  // format(self, "")
  Ref iter() const;
  bool contains(Handle item) const { return check(PySequence_Contains(ptr_, item.ptr_)) != 0; }
  bool equals(Handle other) const;
  Ref operator/(Handle other) const;  // the path-join operator

  // Calls with positional arguments first, then any Kw arguments.
  template <class... A>
  Ref operator()(const A&... args) const;
  template <class... A>
  Ref method(Name name, const A&... args) const;

 protected:
  PyObject* ptr_ = nullptr;
};

// ---------------------------------------------------------------------------
// An owned (strong) reference. Move-only; released on destruction.

class Ref : public Handle {
 public:
  Ref() = default;
  // Takes over a new reference; throws PythonError when it is NULL.
  static Ref steal(PyObject* object) {
    if (object == nullptr) throw_python_error();
    return Ref(object);
  }
  // Takes over a new reference that may be NULL without an error set.
  static Ref steal_or_null(PyObject* object) { return Ref(object); }
  // Makes a new reference to a borrowed object.
  static Ref borrow(Handle object) {
    Py_XINCREF(object.ptr());
    return Ref(object.ptr());
  }

  Ref(Ref&& other) noexcept : Handle(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::exchange(ptr_, other.release()));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* release() { return std::exchange(ptr_, nullptr); }

 private:
  explicit Ref(PyObject* object) : Handle(object) {}
};

struct Kw {
  Name name;
  Handle value;
};

// ---------------------------------------------------------------------------
// Constructors for common values.

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(Py_ssize_t value) { return Ref::steal(PyLong_FromSsize_t(value)); }
inline Ref text(std::string_view value) {
  return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}
inline Ref interned_text(std::string_view value) {
  PyObject* object = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  if (object != nullptr) PyUnicode_InternInPlace(&object);
  return Ref::steal(object);
}
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list(Py_ssize_t size = 0) { return Ref::steal(PyList_New(size)); }
template <class... A>
Ref tuple(const A&... items) {
  return Ref::steal(PyTuple_Pack(sizeof...(A), Handle(items).ptr()...));
}

inline void set_item(Handle dict, Handle key, Handle value) {
  check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}
inline void set_item(Handle dict, Name key, Handle value) { set_item(dict, key.get(), value); }
inline void append(Handle list, Handle item) { check(PyList_Append(list.ptr(), item.ptr())); }

// Whether every key of `dict` (an exact dict) is an exact str.
bool has_only_str_keys(Handle dict);

// `name` looked up on `type` and its bases in method resolution order,
// without invoking descriptors (as the interpreter looks up special
// methods): the first hit, or an empty Ref.
Ref lookup_on_type(PyTypeObject* type, Handle name);

// The next item of an iterator, or an empty Ref when it is exhausted.
inline Ref next(Handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (item == nullptr && PyErr_Occurred()) throw_python_error();
  return Ref::steal_or_null(item);
}

// `for (Ref item : iterate(iterable))`: the interpreter's for loop.
class Iterate {
 public:
  explicit Iterate(Handle iterable) : iterator_(iterable.iter()) {}

  class iterator {
   public:
    explicit iterator(Handle source) : source_(source) { advance(); }
    iterator() = default;
    Ref operator*() { return std::move(item_); }
    iterator& operator++() {
      advance();
      return *this;
    }
    bool operator==(const iterator& other) const { return item_.is(other.item_); }

   private:
    void advance() {
      if (!source_.is_null()) item_ = next(source_);
    }
    Handle source_;
    Ref item_;
  };

  iterator begin() { return iterator(iterator_); }
  iterator end() { return iterator(); }

 private:
  Ref iterator_;
};

inline Iterate iterate(Handle iterable) { return Iterate(iterable); }

// `a, b, ... = value` with the interpreter's messages for a wrong length.
template <std::size_t N>
std::array<Ref, N> unpack(Handle value);

// Guards one level of native recursion against exhausting the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where = " while calling a Python object") {
    if (Py_EnterRecursiveCall(where)) throw_python_error();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// ---------------------------------------------------------------------------
// Implementation of the call templates.

namespace detail {

Ref vectorcall(PyObject* callable, PyObject** stack, std::size_t positional, PyObject* const* names,
               std::size_t keywords);
Ref vectorcall_method(PyObject* name, PyObject** stack, std::size_t positional, PyObject* const* names,
                      std::size_t keywords);

template <class A>
constexpr bool is_kw = std::is_same_v<std::remove_cvref_t<A>, Kw>;

// Lays out a call's arguments as the vectorcall protocol wants them: slot 0
// free (PY_VECTORCALL_ARGUMENTS_OFFSET, or the receiver of a method call),
// then the positional values, then the keyword values.
template <class... A>
struct CallArgs {
  static constexpr std::size_t count = sizeof...(A);
  static constexpr std::size_t keywords = (std::size_t{0} + ... + (is_kw<A> ? 1 : 0));
  static constexpr std::size_t positional = count - keywords;

  std::array<PyObject*, count + 1> stack{};
  std::array<PyObject*, keywords + 1> names{};

  explicit CallArgs(const A&... args) {
    static_assert(keywords_last(), "keyword arguments follow the positional ones");
    std::size_t slot = 1;
    std::size_t name = 0;
    [[maybe_unused]] auto place = [&](const auto& arg) {
      if constexpr (is_kw<decltype(arg)>) {
        names[name++] = arg.name.get();
        stack[slot++] = arg.value.ptr();
      } else {
        stack[slot++] = Handle(arg).ptr();
      }
    };
    (place(args), ...);
  }

  static constexpr bool keywords_last() {
    // Never read in the instantiation for no arguments.
    [[maybe_unused]] bool seen_keyword = false;
    bool ok = true;
    ((seen_keyword = seen_keyword || is_kw<A>, ok = ok && (is_kw<A> || !seen_keyword)), ...);
    return ok;
  }
};

}  // namespace detail

template <class... A>
Ref Handle::operator()(const A&... args) const {
  detail::CallArgs<A...> call(args...);
  return detail::vectorcall(ptr_, call.stack.data(), call.positional, call.names.data(), call.keywords);
}

template <class... A>
Ref Handle::method(Name name, const A&... args) const {
  detail::CallArgs<A...> call(args...);
  call.stack[0] = ptr_;
  return detail::vectorcall_method(name.get(), call.stack.data(), call.positional, call.names.data(), call.keywords);
}

void raise_unpack_error(Handle value, std::size_t expected, Py_ssize_t got);

template <std::size_t N>
std::array<Ref, N> unpack(Handle value) {
  std::array<Ref, N> items;
  if ((PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr()))) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(value.ptr());
    if (size != static_cast<Py_ssize_t>(N)) raise_unpack_error(value, N, size);
    for (std::size_t i = 0; i < N; ++i) items[i] = Ref::borrow(PySequence_Fast_GET_ITEM(value.ptr(), i));
    return items;
  }
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      raise_error(PyExc_TypeError, "cannot unpack non-iterable %.200s object", value.type_name());
    }
    throw_python_error();
  }
  Ref owned_iterator = Ref::steal(iterator);
  for (std::size_t i = 0; i < N; ++i) {
    items[i] = next(owned_iterator);
    if (items[i].is_null()) raise_unpack_error(value, N, static_cast<Py_ssize_t>(i));
  }
  if (!next(owned_iterator).is_null()) raise_unpack_error(value, N, -1);
  return items;
}

}  // namespace tools
