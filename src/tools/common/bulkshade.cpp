// Large-value hiding: every value whose text form is longer than the limit
// becomes a marked excerpt of it, inside dicts, lists and tuples at any depth.
#include "core/except.hpp"
#include "core/module.hpp"
#include "core/rebuild.hpp"
#include "core/stack.hpp"

namespace tools {
namespace {

constexpr auto kEmpty = ""_id;
constexpr auto kHead = "\n{\n"_id;
constexpr auto kTail = "\n...big-content hidden...\n}\n                "_id;
constexpr auto kNotice =
    "\n{\nHidden: Content too large for string conversion\n...big-content hidden...\n}\n                "_id;

// No exact bool, float or 64-bit int has a longer text form ("-2.2250738585072014e-308").
constexpr Py_ssize_t kLongestNumberText = 24;

// The record `_const` made at import (a reference kept for the life of the
// process). While the module's `_const` is still that object and reading
// its limit runs no Python code, a walk may read the limit once and keep it.
PyObject* import_record = nullptr;

// The limit, when reading `record.char_limit` cannot be told apart from
// keeping it: the record made at import, read by the generic attribute
// lookup with no descriptor of that name on its class, the limit an exact
// non-negative int. Otherwise -1: read it at each use.
Py_ssize_t known_limit(Handle record) {
  if (record.is_null() || !record.is(import_record)) return -1;
  PyTypeObject* type = record.type();
  if (type->tp_getattro != PyObject_GenericGetAttr) return -1;
  Ref on_class = lookup_on_type(type, "char_limit"_id.get());
  if (!on_class.is_null() && on_class.type()->tp_descr_get != nullptr) return -1;
  PyObject* limit = nullptr;
  if (PyObject_GetOptionalAttr(record.ptr(), "char_limit"_id.get(), &limit) <= 0) {
    PyErr_Clear();
    return -1;
  }
  Ref owned = Ref::steal(limit);
  if (!PyLong_CheckExact(limit)) return -1;
  const Py_ssize_t value = PyLong_AsSsize_t(limit);
  if (value == -1 && PyErr_Occurred()) PyErr_Clear();
  return value < 0 ? -1 : value;
}

bool is_short_number(Handle value) {
  if (value.is_exact(&PyBool_Type) || value.is_exact(&PyFloat_Type)) return true;
  if (!value.is_exact(&PyLong_Type)) return false;
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  return overflow == 0;
}

// format(value, ""), or an empty Ref when that raised ValueError (or a
// subclass), which is dropped: the notice stands in for the value instead.
Ref text_form(Handle value) {
  try {
    return value.format();
  } catch (const PythonError&) {
    except(PyExc_ValueError);
    return Ref();
  }
}

// The hidden form: head, excerpt, tail.
Ref hidden(Handle excerpt) {
  Ref front = Ref::steal(PyUnicode_Concat(kHead.get(), excerpt.ptr()));
  return Ref::steal(PyUnicode_Concat(front.ptr(), kTail.get()));
}

// One call of `bulkshade`, with the nested calls it makes. Between steps
// that may run Python code, the module global `bulkshade` and the limit are
// read once and kept.
class Shade : public WalkState {
 public:
  explicit Shade(Call& call) : call_(call) {}

  // One value: None counts as ""; a dict, list or tuple is rebuilt with each
  // element walked; anything else is measured by its text form.
  Ref walk(Handle value) {
    if (value.is_none()) value = kEmpty.get();
    Ref rebuilt = rebuild_container(value, *this);
    if (!rebuilt.is_null()) return rebuilt;
    return hide(value);
  }

  Ref item(Handle value) { return nested(value); }
  Ref entry(Handle, Handle value) { return nested(value); }
  bool kept(Handle, Handle value) const { return in_sync() && direct_ && fits(value); }

 private:
  // `bulkshade(value=v)` through the module global: walked here directly
  // while that global is this very function. A leaf whose result is known
  // without running Python code is answered first, in line.
  Ref nested(Handle value) {
    if (in_sync() && direct_) {
      if (fits(value)) return Ref::borrow(value);
      if (value.is_none() && limit_ >= 0) return Ref::borrow(kEmpty.get());
    }
    return nested_call(value);
  }

  // `value` may be borrowed from its container: it is held before the
  // lookups, which can run Python code that changes the container.
  [[gnu::noinline]] Ref nested_call(Handle value) {
    Ref held = Ref::borrow(value);
    if (!in_sync()) resync();
    if (!direct_) {
      python_may_run();
      return call_.global("bulkshade"_id)(Kw{"value"_id, held});
    }
    StackGuard guard(stack_);
    Ref result = walk(held);
    release(held, *this);
    return result;
  }

  // A leaf: itself while its text form is at most `_const.char_limit` long,
  // else the hidden form of the first that many characters (the notice when
  // the text form cannot be made).
  [[gnu::noinline]] Ref hide(Handle value) {
    if (!in_sync()) resync();
    if (fits(value)) return Ref::borrow(value);
    if (limit_ >= 0 && value.is_exact(&PyUnicode_Type)) {
      return hidden(Ref::steal(PyUnicode_Substring(value.ptr(), 0, limit_)));
    }
    python_may_run();
    Ref value_str = text_form(value);
    if (value_str.is_null()) return Ref::borrow(kNotice.get());
    Ref length = integer(value_str.size());
    if (!check(PyObject_RichCompareBool(length.ptr(), limit().ptr(), Py_GT))) return Ref::borrow(value);
    Ref up_to_limit = Ref::steal(PySlice_New(nullptr, limit().ptr(), nullptr));
    Ref excerpt = Ref::steal(PyObject_GetItem(value_str.ptr(), up_to_limit.ptr()));
    return hidden(excerpt.format());
  }

  // Whether the value comes back as itself, decided without running Python code.
  bool fits(Handle value) const {
    if (value.is_exact(&PyUnicode_Type)) return PyUnicode_GET_LENGTH(value.ptr()) <= limit_;
    return limit_ >= kLongestNumberText && is_short_number(value);
  }

  Ref limit() const { return call_.global("_const"_id).attr("char_limit"_id); }

  void resync() {
    sync();
    direct_ = call_.global_or_null("bulkshade"_id).is(call_.function());
    limit_ = known_limit(call_.global_or_null("_const"_id));
  }

  Call& call_;
  const StackLimit& stack_ = native_stack_limit();
  bool direct_ = false;
  Py_ssize_t limit_ = -1;  // -1: read `_const.char_limit` at each use
};

Ref bulkshade(Call& call, Handle value) {
  Shade shade(call);
  return shade.walk(value);
}

constexpr Param kParams[] = {any("value", "Any", kNoneDefault)};
constexpr FunctionDecl kBulkshade = declare<bulkshade>({
    .name = "bulkshade",
    .params = kParams,
    .returns = "Any",
    .doc = R"(
        Hide oversized content in a value, walking dictionaries, lists and tuples.

        :param value: 'param-value'
        :return: new object with hidden big-content
        )",
});

// `_Const`: a frozen dataclass with the one field `char_limit: "int" = 4000`.
Ref make_record_class(ModuleInit& module) {
  Ref annotations = new_dict();
  set_item(annotations, "char_limit"_id, "int"_id.get());
  Ref plain =
      module.start_class("_Const").entry("__annotations__", annotations).entry("char_limit", integer(4000)).build();
  Ref frozen = module.module().attr("dataclass"_id)(Kw{"frozen"_id, boolean(true)});
  return frozen(plain);
}

void init(ModuleInit& module) {
  module.from_import("dataclasses", {"dataclass"});
  module.from_import("typing", {"Any"});
  Ref record_class = make_record_class(module);
  module.bind("_Const", record_class);
  Ref record = record_class();
  module.bind("_const", record);
  import_record = Ref::borrow(record).release();
  module.add_function(kBulkshade);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_bulkshade() { return tools::module_def("tools.common.bulkshade", tools::init); }
