// Attribute access by name, private names included, through the generic
// attribute machinery of `object`, so the target's own hooks are bypassed.
//
// The static methods reach each other through the module's `SlotWarden` as
// it is when they run. When what they find there is still our own function,
// its work is done in place instead of through a keyword call; anything else
// (a replaced method, a stored name that is not an exact str) takes the call.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/cpython_internals.hpp"
#include "core/except.hpp"
#include "core/module.hpp"

namespace tools {
namespace {

extern const FunctionDecl kGetName;
extern const FunctionDecl kGetAttribute;
extern const FunctionDecl kSetAttribute;
extern const FunctionDecl kHasAttribute;

// object.__setattr__ itself. Calling the slot wrapper keeps the check the
// interpreter makes there (it refuses to skip a C-level __setattr__, so a
// class object is refused), which a direct call of the generic function
// would skip. Looked up once; the module lives in one interpreter only.
PyObject* object_setattr = nullptr;

// ---------------------------------------------------------------------------
// Name mangling.

// A name is private when it starts with exactly two underscores and does not
// end with two. Three or more leading underscores are deliberately left
// alone, unlike the compiler's rule.
bool is_private(Handle attr) {
  PyObject* text = attr.ptr();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  auto underscore = [text](Py_ssize_t index) { return PyUnicode_READ_CHAR(text, index) == '_'; };
  if (length < 2 || !underscore(0) || !underscore(1)) return false;
  if (length > 2 && underscore(2)) return false;
  return !(underscore(length - 1) && underscore(length - 2));
}

// `obj` itself if it is a class, else what `obj.__class__` reports.
Ref class_of(Handle obj) {
  if (PyType_Check(obj.ptr())) return Ref::borrow(obj);
  if (class_is_own_type(obj)) return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
  return obj.attr("__class__"_id);
}

// `cls.__name__`; a class made by `type` itself cannot have it redefined.
Ref name_of(Handle cls) {
  if (Py_IS_TYPE(cls.ptr(), &PyType_Type)) {
    return Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls.ptr())));
  }
  return cls.attr("__name__"_id);
}

// "_" + name.lstrip("_") + attr for an exact str `name`, in one allocation.
// Only underscores are stripped, so the result's widest character comes from
// `attr` or from what is left of `name`: the string is in canonical form.
Ref join_mangled(Handle name, Handle attr) {
  const Py_ssize_t name_length = PyUnicode_GET_LENGTH(name.ptr());
  const Py_ssize_t attr_length = PyUnicode_GET_LENGTH(attr.ptr());
  Py_ssize_t start = 0;
  while (start < name_length && PyUnicode_READ_CHAR(name.ptr(), start) == '_') ++start;
  const Py_UCS4 widest = start == name_length
                             ? PyUnicode_MAX_CHAR_VALUE(attr.ptr())
                             : std::max(PyUnicode_MAX_CHAR_VALUE(name.ptr()), PyUnicode_MAX_CHAR_VALUE(attr.ptr()));
  const Py_ssize_t kept = name_length - start;
  Ref result = Ref::steal(PyUnicode_New(1 + kept + attr_length, widest));
  check(PyUnicode_WriteChar(result.ptr(), 0, '_'));
  if (PyUnicode_CopyCharacters(result.ptr(), 1, name.ptr(), start, kept) < 0 ||
      PyUnicode_CopyCharacters(result.ptr(), 1 + kept, attr.ptr(), 0, attr_length) < 0) {
    throw_python_error();
  }
  return result;
}

// The mangled names made lately, each under the two strings it was made of
// (held, so that neither can be another string at the same address): a
// program reads the same few names of the same few classes again and again.
// A name made anew would also miss the interpreter's own caches of type
// lookups, which go by the name's identity. Interned, as setattr() interns
// the names it stores under.
class MangledNames {
 public:
  Ref get(Handle class_name, Handle attr) {
    Entry& entry = entries_[slot(class_name, attr)];
    if (entry.class_name.ptr() == class_name.ptr() && entry.attr.ptr() == attr.ptr()) {
      return Ref::borrow(entry.mangled);
    }
    PyObject* made = join_mangled(class_name, attr).release();
    PyUnicode_InternInPlace(&made);
    Ref mangled = Ref::steal(made);
    // Replaced entries drop exact str objects only: no code runs.
    entry = {Ref::borrow(class_name), Ref::borrow(attr), Ref::borrow(mangled)};
    return mangled;
  }

 private:
  static constexpr std::size_t kSize = 64;
  struct Entry {
    Ref class_name;
    Ref attr;
    Ref mangled;
  };
  static std::size_t slot(Handle class_name, Handle attr) {
    const auto bits =
        reinterpret_cast<std::uintptr_t>(class_name.ptr()) ^ (reinterpret_cast<std::uintptr_t>(attr.ptr()) >> 4);
    return (bits >> 4) % kSize;
  }
  Entry entries_[kSize];
};

// The module lives in one interpreter only, whose lock guards this.
MangledNames* mangled_names = nullptr;

Ref mangle(Handle obj, Handle attr) {
  if (!is_private(attr)) return Ref::borrow(attr);
  Ref name = name_of(class_of(obj));
  if (PyUnicode_CheckExact(name.ptr())) return mangled_names->get(name, attr);
  Ref class_name = name.method("lstrip"_id, Handle("_"_id.get()));
  Ref prefixed = Ref::steal(PyNumber_Add("_"_id.get(), class_name.ptr()));
  return Ref::steal(PyNumber_Add(prefixed.ptr(), attr.ptr()));
}

// ---------------------------------------------------------------------------
// The static methods.

// Reads of `SlotWarden.<member>`, each with the class the module holds when
// it is made. A read through the class's own lookup may run code, and that
// code may bind the module's `SlotWarden` anew; a read that runs none
// (static_member) leaves it as it was, so a read right after it, with
// nothing run between the two, takes the class the first one found.
class ClassMembers {
 public:
  explicit ClassMembers(const Call& call) : call_(call) {}

  Ref operator()(Name member) {
    if (cls_.is_null()) cls_ = call_.global("SlotWarden"_id);
    Ref found = static_member(cls_, member.get());
    if (!found.is_null()) return found;
    const Ref cls = std::move(cls_);
    return cls.attr(member);
  }

 private:
  const Call& call_;
  Ref cls_;
};

// `SlotWarden.<member>` with the class the module holds now.
Ref class_member(const Call& call, Name member) { return ClassMembers(call)(member); }

bool runs_in_place(Handle function, const FunctionDecl& decl, Handle attr) {
  return is_function_of(function, decl) && PyUnicode_CheckExact(attr.ptr());
}

// get_name(obj=obj, attr=attr), our own get_name with its result check.
Ref name_with(Handle get_name, Handle obj, Handle attr) {
  if (!runs_in_place(get_name, kGetName, attr)) return get_name(Kw{"obj"_id, obj}, Kw{"attr"_id, attr});
  Ref name = mangle(obj, attr);
  check_result_type(&PyUnicode_Type, name);
  return name;
}

Ref get_name(Handle obj, Handle attr) { return mangle(obj, attr); }

// Whether a read that finds nothing needs its AttributeError built.
enum class Missing { Raise, Quiet };

// object.__getattribute__ under the stored name. The wrapper adds no check
// to object's generic lookup, so the lookup is called directly; with
// Missing::Quiet it also skips building the AttributeError that
// has_attribute would throw away. Empty when the read failed: the exception
// is set, except for a quietly missing attribute.
Ref read_or_null(ClassMembers& members, Handle obj, Handle attr, Missing missing) {
  Ref name = name_with(members("get_name"_id), obj, attr);
  return generic_getattr(obj, name, missing == Missing::Quiet);
}

Ref get_attribute(Call& call, Handle obj, Handle attr) {
  ClassMembers members(call);
  Ref value = read_or_null(members, obj, attr, Missing::Raise);
  if (value.is_null()) throw_python_error();
  return value;
}

// get_attribute(obj=obj, attr=attr); empty on failure, as read_or_null.
// `members` made the read of `get_attribute`, or has made none yet.
Ref get_attribute_with(ClassMembers& members, Handle get_attribute, Handle obj, Handle attr, Missing missing) {
  if (runs_in_place(get_attribute, kGetAttribute, attr)) return read_or_null(members, obj, attr, missing);
  try {
    return get_attribute(Kw{"obj"_id, obj}, Kw{"attr"_id, attr});
  } catch (const PythonError&) {
    return Ref();
  }
}

void write(const Call& call, Handle obj, Handle attr, Handle value) {
  Ref name = name_with(class_member(call, "get_name"_id), obj, attr);
  Handle{object_setattr}(obj, name, value);
}

Ref set_attribute(Call& call, Handle obj, Handle attr, Handle value) {
  write(call, obj, attr, value);
  return none();
}

// Only a missing attribute answers False; a getter that fails in any other
// way is the caller's problem, not an absent attribute. The lookup of
// `SlotWarden.get_attribute` is part of the guarded read.
Ref has(const Call& call, Handle obj, Handle attr) {
  Ref value;
  try {
    ClassMembers members(call);
    Ref get_attribute = members("get_attribute"_id);
    value = get_attribute_with(members, get_attribute, obj, attr, Missing::Quiet);
  } catch (const PythonError&) {
  }
  if (!value.is_null()) return boolean(true);
  if (PyErr_Occurred()) except(PyExc_AttributeError);
  return boolean(false);
}

Ref has_attribute(Call& call, Handle obj, Handle attr) { return has(call, obj, attr); }

// ---------------------------------------------------------------------------
// The instance form: one object and one name, bound once.

Ref init_instance(Handle self, Handle obj, Handle attr) {
  check(PyObject_SetAttr(self.ptr(), "_SlotWarden__obj"_id.get(), obj.ptr()));
  check(PyObject_SetAttr(self.ptr(), "_SlotWarden__attr"_id.get(), attr.ptr()));
  return none();
}

struct Bound {
  Ref obj;
  Ref attr;
};

// The two slots, read by ordinary attribute access and in this order, after
// the method they are passed to has been looked up.
Bound bound(Handle self) {
  Ref obj = self.attr("_SlotWarden__obj"_id);
  return {std::move(obj), self.attr("_SlotWarden__attr"_id)};
}

// Reached through the instance, so a subclass's get_name takes effect.
Ref name(Handle self) {
  Ref get_name = self.attr("get_name"_id);
  Bound target = bound(self);
  return name_with(get_name, target.obj, target.attr);
}

// `value` and `exists` go through the module's SlotWarden as it is when they
// run, never through a subclass's redefinitions.
Ref read_value(Call& call, Handle self) {
  Ref get_attribute = class_member(call, "get_attribute"_id);
  Bound target = bound(self);  // may run code: the next read takes the module's class anew
  ClassMembers members(call);
  Ref value = get_attribute_with(members, get_attribute, target.obj, target.attr, Missing::Raise);
  if (value.is_null()) throw_python_error();
  return value;
}

Ref write_value(Call& call, Handle self, Handle value) {
  Ref set_attribute = class_member(call, "set_attribute"_id);
  Bound target = bound(self);
  if (runs_in_place(set_attribute, kSetAttribute, target.attr)) {
    write(call, target.obj, target.attr, value);
  } else {
    set_attribute(Kw{"obj"_id, target.obj}, Kw{"attr"_id, target.attr}, Kw{"value"_id, value});
  }
  return none();
}

Ref exists(Call& call, Handle self) {
  Ref has_attribute = class_member(call, "has_attribute"_id);
  Bound target = bound(self);
  if (runs_in_place(has_attribute, kHasAttribute, target.attr)) return has(call, target.obj, target.attr);
  return has_attribute(Kw{"obj"_id, target.obj}, Kw{"attr"_id, target.attr});
}

// ---------------------------------------------------------------------------

constexpr Param kSelf = any("self");
constexpr Param kObj = any("obj", "Any");
constexpr Param kAttr = exact("attr", "str", &PyUnicode_Type);
constexpr Param kValue = any("value", "Any");

constexpr Param kInitParams[] = {kSelf, kObj, kAttr};
constexpr FunctionDecl kInit = declare<init_instance>({.name = "__init__", .params = kInitParams});

constexpr Param kSelfOnly[] = {kSelf};
constexpr FunctionDecl kName = declare<name>({
    .name = "name",
    .params = kSelfOnly,
    .returns = "str",
    .returns_exact = &PyUnicode_Type,
});
constexpr FunctionDecl kValueGetter = declare<read_value>({.name = "value", .params = kSelfOnly, .returns = "Any"});
constexpr Param kValueSetterParams[] = {kSelf, kValue};
constexpr FunctionDecl kValueSetter = declare<write_value>({.name = "value", .params = kValueSetterParams});
constexpr FunctionDecl kExists = declare<exists>({.name = "exists", .params = kSelfOnly, .returns = "bool"});

constexpr Param kObjAttr[] = {kObj, kAttr};
constexpr FunctionDecl kGetName = declare<get_name>({
    .name = "get_name",
    .params = kObjAttr,
    .returns = "str",
    .returns_exact = &PyUnicode_Type,
    .doc = R"(
            Build attribute name.

            :param obj: object instance
            :param attr: attribute name
            :return: attribute name (mangled, for private attributes)
            )",
});

constexpr FunctionDecl kGetAttribute = declare<get_attribute>({
    .name = "get_attribute",
    .params = kObjAttr,
    .returns = "Any",
    .doc = R"(
            Get an attribute.

            :param obj: object instance
            :param attr: attribute name
            :return: attribute value
            )",
});

constexpr Param kSetParams[] = {kObj, kAttr, kValue};
constexpr FunctionDecl kSetAttribute = declare<set_attribute>({
    .name = "set_attribute",
    .params = kSetParams,
    .doc = R"(
            Set an attribute.

            :param obj: object instance
            :param attr: attribute name
            :param value: attribute value
            :return:
            )",
});

constexpr FunctionDecl kHasAttribute = declare<has_attribute>({
    .name = "has_attribute",
    .params = kObjAttr,
    .returns = "bool",
});

PyObject* object_member(const char* name) {
  return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name)).release();
}

void init(ModuleInit& module) {
  if (object_setattr == nullptr) object_setattr = object_member("__setattr__");
  if (mangled_names == nullptr) mangled_names = new MangledNames;
  module.from_import("typing", {"Any"});
  module.start_class("SlotWarden")
      .slots({"__obj", "__attr"})
      .method(kInit)
      .property(kName)
      .property(kValueGetter, &kValueSetter)
      .property(kExists)
      .static_method(kGetName)
      .static_method(kGetAttribute)
      .static_method(kSetAttribute)
      .static_method(kHasAttribute)
      .build();
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_slotwarden() { return tools::module_def("tools.common.slotwarden", tools::init); }
