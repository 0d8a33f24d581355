// Tables: an ordered list of column names and a list of rows (dictionaries
// from column name to value), checked on construction, shown as text and
// narrowed to chosen columns.
//
// Construction and filtering run over hundreds of thousands of rows, so each
// has a quick path next to its step-by-step one. A quick path only runs while
// nothing it touches can call back into code of the caller's (exact str
// names, exact dict rows, exact lists and sets), because then skipping a
// lookup whose outcome is already known cannot be observed. It keeps the
// collector paused meanwhile (see CollectorPause), so that no finalizer runs
// inside one of its allocations either. The moment that no longer holds, the
// rest of the work goes step by step.
#include <cstddef>
#include <vector>

#include "core/cpython_internals.hpp"
#include "core/module.hpp"

namespace tools {
namespace {

Handle type_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// `self.__<name> = value` in the class body: an ordinary attribute store.
void store(Handle self, Name name, Handle value) { check(PyObject_SetAttr(self.ptr(), name.get(), value.ptr())); }

// `table[key]`, read anew each time the description is consulted.
Ref entry(Handle table, Name key) { return Ref::steal(PyObject_GetItem(table.ptr(), key.get())); }

bool text_items_only(Handle list) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(list.ptr(), i))) return false;
  }
  return true;
}

// The quick paths walk rows that were allocated one by one and are spread
// over far more memory than the caches hold. While one row is handled, this
// starts loading the row object a few rows further on and the key table of
// the row in between. `rows` is an exact list that nothing can change meanwhile.
void prefetch_rows(Handle rows, Py_ssize_t index) {
  constexpr Py_ssize_t kAhead = 4;
  const Py_ssize_t size = PyList_GET_SIZE(rows.ptr());
  if (index + 2 * kAhead < size) __builtin_prefetch(PyList_GET_ITEM(rows.ptr(), index + 2 * kAhead));
  if (index + kAhead >= size) return;
  PyObject* row = PyList_GET_ITEM(rows.ptr(), index + kAhead);
  if (PyDict_CheckExact(row)) prefetch_entries(row);
}

// The key objects of a row, in order, to recognise rows laid out alike.
// Borrowed: the quick paths only use them while the row they came from stays
// in a list that nothing can change.
class KeyLayout {
 public:
  bool matches(const DictEntries& entries) const {
    if (!known_ || entries.size() != keys_.size()) return false;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (entries.key(i) != keys_[i]) return false;
    }
    return true;
  }

  void learn(const DictEntries& entries) {
    keys_.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) keys_.push_back(entries.key(i));
    known_ = true;
  }

 private:
  std::vector<PyObject*> keys_;
  bool known_ = false;
};

// ---------------------------------------------------------------------------
// Construction

[[noreturn]] void raise_not_a_dict(Py_ssize_t index) {
  raise_error(PyExc_TypeError, "Parameter \"data\"[%zd] is not a \"dict\"", index);
}

[[noreturn]] void raise_length_mismatch(Py_ssize_t index) {
  raise_error(PyExc_ValueError, "Parameter \"data\"[%zd] length not match with \"columns\" length", index);
}

[[noreturn]] void raise_missing_column(Py_ssize_t index, Handle column) {
  Ref shown = column.format();
  raise_error(PyExc_Exception, "Parameter \"data\"[%zd][\"%U\"] not found", index, shown.ptr());
}

Ref empty_description() {
  Ref table = new_dict();
  set_item(table, "columns"_id, new_list());
  set_item(table, "data"_id, new_list());
  return table;
}

void check_list_entry(Handle table, Name key) {
  if (!table.contains(key.get())) raise_error(PyExc_KeyError, "Parameter \"%U\" not found", key.get());
  if (!entry(table, key).is_instance(type_object(&PyList_Type))) {
    raise_error(PyExc_TypeError, "Parameter \"%U\" is not a \"list\"", key.get());
  }
}

// One row, test by test: a dict, as many entries as columns, every column a key.
void check_row(Handle table, Handle row, Py_ssize_t index) {
  if (!row.is_instance(type_object(&PyDict_Type))) raise_not_a_dict(index);
  const Py_ssize_t length = row.size();
  if (length != entry(table, "columns"_id).size()) raise_length_mismatch(index);
  for (Ref column : iterate(entry(table, "columns"_id))) {
    if (!row.contains(column)) raise_missing_column(index, column);
  }
}

// The quick row check. It applies while the description has only str keys,
// its column list is an exact list of exact str and its row list an exact
// list, and then to every exact dict row with exact str keys: nothing can
// change the column list meanwhile, and the outcome for such a row depends
// only on its set of keys. So a row whose key objects are those of the last
// row that passed, in the same order, passes without a single lookup.
class QuickRowCheck {
 public:
  explicit QuickRowCheck(Handle table) {
    pause_.pause();
    if (!has_only_str_keys(table)) {
      stop_now();
      return;
    }
    columns_ = entry(table, "columns"_id);
    rows_ = entry(table, "data"_id);
    if (!PyList_CheckExact(columns_.ptr()) || !PyList_CheckExact(rows_.ptr()) || !text_items_only(columns_)) {
      stop_now();
    }
  }

  // Checks `row` and raises as check_row would; false when the row is not
  // one this check can take (the caller then goes step by step from there on).
  bool accepts(Handle row, Py_ssize_t index) {
    if (columns_.is_null() || !PyDict_CheckExact(row.ptr())) return stop();
    prefetch_rows(rows_, index);
    const DictEntries entries = DictEntries::of(row);
    if (entries && layout_.matches(entries)) return true;
    if (!entries && !has_only_str_keys(row)) return stop();
    if (PyDict_GET_SIZE(row.ptr()) != PyList_GET_SIZE(columns_.ptr())) raise_length_mismatch(index);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns_.ptr()); ++i) {
      PyObject* column = PyList_GET_ITEM(columns_.ptr(), i);
      if (!check(PyDict_Contains(row.ptr(), column))) raise_missing_column(index, column);
    }
    if (entries) layout_.learn(entries);
    return true;
  }

 private:
  bool stop() {
    stop_now();
    return false;
  }
  void stop_now() {
    columns_ = Ref();
    pause_.resume();
  }

  CollectorPause pause_;
  Ref columns_;  // empty once the quick check no longer applies
  Ref rows_;
  KeyLayout layout_;  // of the last row that passed
};

void check_rows(Handle table) {
  QuickRowCheck quick(table);
  Py_ssize_t index = 0;
  for (Ref row : iterate(entry(table, "data"_id))) {
    if (!quick.accepts(row, index)) check_row(table, row, index);
    ++index;
  }
}

// Validates the description, then keeps its two lists themselves (no copies).
Ref construct(Handle self, Handle given) {
  Ref table = given.is_none() ? empty_description() : Ref::borrow(given);
  check_list_entry(table, "columns"_id);
  check_list_entry(table, "data"_id);
  check_rows(table);
  store(self, "_Table__columns"_id, entry(table, "columns"_id));
  store(self, "_Table__data"_id, entry(table, "data"_id));
  return none();
}

Ref columns(Handle self) { return self.attr("_Table__columns"_id); }

Ref data(Handle self) { return self.attr("_Table__data"_id); }

Ref repr(Handle self) {
  Ref shown = self.attr("_Table__columns"_id).format();
  return Ref::steal(PyUnicode_FromFormat("Table(%U)", shown.ptr()));
}

Ref str(Handle self) {
  Ref columns = self.attr("_Table__columns"_id);
  Ref rows = self.attr("_Table__data"_id);
  Ref shown = new_dict();
  set_item(shown, "columns"_id, columns);
  set_item(shown, "data"_id, rows);
  return shown.str();
}

// ---------------------------------------------------------------------------
// Filtering

bool plain_names(Handle names) {
  if (PyList_CheckExact(names.ptr())) return text_items_only(names);
  if (PyTuple_CheckExact(names.ptr())) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.ptr()); ++i) {
      if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(names.ptr(), i))) return false;
    }
    return true;
  }
  if (PySet_CheckExact(names.ptr()) || PyFrozenSet_CheckExact(names.ptr())) {
    for (Ref name : iterate(names)) {
      if (!PyUnicode_CheckExact(name.ptr())) return false;
    }
    return true;
  }
  return false;
}

// `name in include and name not in exclude`. When both are exact lists,
// tuples, sets or frozensets of exact str, the answer for an exact str name
// is membership in one precomputed set; any other name, or a caller that
// may have run code of its own (see stop), gets the two `in` tests.
class ColumnChoice {
 public:
  ColumnChoice(Handle include, Handle exclude) : include_(include), exclude_(exclude) {
    pause_.pause();
    if (!plain_names(include) || !plain_names(exclude)) {
      stop();
      return;
    }
    kept_ = Ref::steal(PySet_New(include.ptr()));
    for (Ref name : iterate(exclude)) check(PySet_Discard(kept_.ptr(), name.ptr()));
  }

  bool quick() const { return !kept_.is_null(); }
  // From now on every name gets the two `in` tests.
  void stop() {
    kept_ = Ref();
    pause_.resume();
  }

  bool keeps(Handle name) {
    if (quick() && PyUnicode_CheckExact(name.ptr())) return check(PySet_Contains(kept_.ptr(), name.ptr())) != 0;
    stop();
    return include_.contains(name) && !exclude_.contains(name);
  }

 private:
  CollectorPause pause_;
  Handle include_;
  Handle exclude_;
  Ref kept_;
};

// A row made step by step from the pairs of `row.items()`.
Ref kept_entries(Handle row, ColumnChoice& choice) {
  Ref kept = new_dict();
  for (Ref item : iterate(row.method("items"_id))) {
    auto [key, value] = unpack<2>(item);
    if (choice.keeps(key)) set_item(kept, key, value);
  }
  return kept;
}

// The quick row filter, for exact dict rows with exact str keys while the
// choice is quick. Rows of a table mostly hold the same key objects in the
// same order, so the kept positions are worked out once per key layout, and
// each row becomes a copy of a template of the kept keys with its own values
// put in.
class QuickRowFilter {
 public:
  QuickRowFilter(ColumnChoice& choice, Handle rows) : choice_(choice), rows_(rows) {}

  // The kept entries of `row` (at `index` of the rows), or an empty Ref when
  // the row must go step by step.
  Ref filter(Handle row, Py_ssize_t index) {
    if (!choice_.quick() || !PyDict_CheckExact(row.ptr())) return Ref();
    prefetch_rows(rows_, index);
    const DictEntries entries = DictEntries::of(row);
    if (!entries) return filter_items(row);
    if (!layout_.matches(entries)) learn_layout(entries);
    for (std::size_t i = 0; i < kept_.size(); ++i) values_[i] = entries.value(kept_[i]);
    prefetch_kept_values(index);
    return copy_with_values(template_, values_.data());
  }

 private:
  // Copying takes a reference to every kept value, and the values lie
  // wherever they were made: start loading those of a row a little further
  // on, whose key table prefetch_rows asked for earlier.
  void prefetch_kept_values(Py_ssize_t index) const {
    constexpr Py_ssize_t kAhead = 2;
    if (index + kAhead >= PyList_GET_SIZE(rows_.ptr())) return;
    PyObject* row = PyList_GET_ITEM(rows_.ptr(), index + kAhead);
    if (!PyDict_CheckExact(row)) return;
    const DictEntries entries = DictEntries::of(row);
    for (std::size_t position : kept_) {
      if (position < entries.size()) __builtin_prefetch(entries.value(position));
    }
  }

  void learn_layout(const DictEntries& entries) {
    layout_.learn(entries);
    kept_.clear();
    template_ = new_dict();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!choice_.keeps(entries.key(i))) continue;
      kept_.push_back(i);
      set_item(template_, entries.key(i), Py_None);
    }
    values_.resize(kept_.size());
  }

  // A row whose entries cannot be read directly, item by item.
  Ref filter_items(Handle row) {
    if (!has_only_str_keys(row)) return Ref();
    Ref kept = new_dict();
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(row.ptr(), &position, &key, &value)) {
      if (choice_.keeps(key)) set_item(kept, key, value);
    }
    return kept;
  }

  ColumnChoice& choice_;
  Handle rows_;
  KeyLayout layout_;
  std::vector<std::size_t> kept_;  // positions of the kept keys
  std::vector<PyObject*> values_;  // of the kept keys, for the row at hand
  Ref template_;
};

Ref kept_columns(Handle columns, Handle include, Handle exclude) {
  ColumnChoice choice(include, exclude);
  if (!PyList_CheckExact(columns.ptr())) choice.stop();  // its iterator may run code of its own
  Ref kept = new_list();
  for (Ref name : iterate(columns)) {
    if (choice.keeps(name)) append(kept, name);
  }
  return kept;
}

Ref kept_rows(Handle rows, Handle include, Handle exclude) {
  ColumnChoice choice(include, exclude);
  if (!PyList_CheckExact(rows.ptr())) choice.stop();
  QuickRowFilter quick(choice, rows);
  Ref kept = new_list();
  Py_ssize_t index = 0;
  for (Ref row : iterate(rows)) {
    Ref entries = quick.filter(row, index++);
    if (entries.is_null()) {
      choice.stop();
      entries = kept_entries(row, choice);
    }
    append(kept, entries);
  }
  return kept;
}

// A new Table of the kept columns, made through the module's `Table` and
// handed this operation's logger.
Ref filter(Call& call, Handle self, Handle include_given, Handle exclude_given) {
  Ref include = include_given.is_none() ? Ref::steal(PySequence_Tuple(self.attr("_Table__columns"_id).ptr()))
                                        : Ref::borrow(include_given);
  Ref exclude = exclude_given.is_none() ? tuple() : Ref::borrow(exclude_given);
  Ref table_class = call.global("Table"_id);
  Ref columns = kept_columns(self.attr("_Table__columns"_id), include, exclude);
  Ref rows = kept_rows(self.attr("_Table__data"_id), include, exclude);
  Ref logger = facility_logger(self.attr("filter"_id), "Table", "filter"_id);
  Ref description = new_dict();
  set_item(description, "columns"_id, columns);
  set_item(description, "data"_id, rows);
  return table_class(Kw{"table"_id, description}, Kw{"logger"_id, logger});
}

// ---------------------------------------------------------------------------
// Declarations

constexpr Param kSelf[] = {any("self")};

constexpr Param kInitParams[] = {
    any("self"),
    exact("table", "dict[str, list[str | dict[str, Any]]]", &PyDict_Type, kNoneDefault),
};
constexpr FunctionDecl kInit = declare<construct>({
    .name = "__init__",
    .params = kInitParams,
    .doc = R"(
            Create table object from dictionary.

            :param table:
                {
                    'columns': ['column[0].name', 'column[1].name', ...],
                    'data': [
                        {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
                        {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
                        ...
                    ]
                }
            )",
});

constexpr FunctionDecl kColumns = declare<columns>({
    .name = "columns",
    .params = kSelf,
    .returns = "list[str]",
    .returns_exact = &PyList_Type,
    .doc = R"(
                ['column[0].name', 'column[1].name', ...]
            )",
});

constexpr FunctionDecl kData = declare<data>({
    .name = "data",
    .params = kSelf,
    .returns = "list[dict[str, Any]]",
    .returns_exact = &PyList_Type,
    .doc = R"(
                [
                    {'column[0].name': 'row[0].column[0].value', 'column[1].name': 'row[0].column[1].value', ...},
                    {'column[0].name': 'row[1].column[0].value', 'column[1].name': 'row[1].column[1].value', ...},
                    ...
                ]
            )",
});

constexpr FunctionDecl kRepr = declare<repr>({
    .name = "__repr__",
    .params = kSelf,
    .returns = "str",
    .returns_exact = &PyUnicode_Type,
});

constexpr FunctionDecl kStr = declare<str>({
    .name = "__str__",
    .params = kSelf,
    .returns = "str",
    .returns_exact = &PyUnicode_Type,
});

constexpr Param kFilterParams[] = {
    any("self"),
    any("include", "list[str] | tuple[str, ...]", kNoneDefault),
    any("exclude", "list[str] | tuple[str, ...]", kNoneDefault),
};
constexpr FunctionDecl kFilter = declare<filter>({
    .name = "filter",
    .params = kFilterParams,
    .doc = R"(
            Return filtered table.

            :param include: (column[0], column[1], ...) (default=$all)
            :param exclude: (column[0], column[1], ...) (default=$none)
            :return: filtered table
            )",
});

void init(ModuleInit& module) {
  module.import_logging();
  module.from_import("typing", {"Any"});
  module.start_class("Table")
      .slots({"__columns", "__data"})
      .logged(kInit)
      .property(kColumns)
      .property(kData)
      .method(kRepr)
      .method(kStr)
      .logged(kFilter)
      .build();
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_tables() { return tools::module_def("tools.tables.tables", tools::init); }
