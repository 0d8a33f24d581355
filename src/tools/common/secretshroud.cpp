// Secret masking: every string under a password-like name becomes a run of
// asterisks of its length, inside dicts, lists and tuples at any depth.
#include <array>
#include <string_view>

#include "core/module.hpp"
#include "core/rebuild.hpp"
#include "core/stack.hpp"

namespace tools {
namespace {

constexpr auto kEmpty = ""_id;
constexpr auto kStar = "*"_id;

// Case-insensitive search of an ASCII word in ASCII text.
bool contains_ascii(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t start = 0; start + word.size() <= text.size(); ++start) {
    std::size_t matched = 0;
    while (matched < word.size() && (text[start + matched] | 0x20) == word[matched]) ++matched;
    if (matched == word.size()) return true;
  }
  return false;
}

// "password" or "pwd" in name.lower().
bool is_password_like(Handle name) {
  if (PyUnicode_IS_ASCII(name.ptr())) {
    // Setting bit 5 lower-cases ASCII letters; the words hold only letters,
    // and no other character maps onto one of them that way.
    std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name.ptr())),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(name.ptr())));
    return contains_ascii(text, "password") || contains_ascii(text, "pwd");
  }
  Ref lower = name.method("lower"_id);
  return lower.contains("password"_id.get()) || lower.contains("pwd"_id.get());
}

// The name a value sits under, with its verdict worked out once for all the
// elements of a list or tuple that share it.
class Subject {
 public:
  explicit Subject(Handle name) : name_(name.is_none() ? Handle(kEmpty.get()) : name) {}
  Handle name() const { return name_; }
  bool is_password_like() {
    if (verdict_ < 0) verdict_ = tools::is_password_like(name_) ? 1 : 0;
    return verdict_ == 1;
  }

 private:
  Handle name_;
  int verdict_ = -1;
};

// The masks of the shorter lengths are made once and shared by every call: a
// str cannot change, and "*" * n made anew is equal to the one kept.
constexpr Py_ssize_t kKeptMasks = 64;

Ref mask(Py_ssize_t length) {
  if (length >= kKeptMasks) return Ref::steal(PySequence_Repeat(kStar.get(), length));
  static std::array<PyObject*, kKeptMasks> kept{};
  PyObject*& slot = kept[static_cast<std::size_t>(length)];
  if (slot == nullptr) slot = Ref::steal(PySequence_Repeat(kStar.get(), length)).release();
  return Ref::borrow(slot);
}

// One call of `secretshroud`, with the nested calls it makes. Between steps
// that may run Python code, the module global `secretshroud` is read once
// and kept.
class Shroud : public WalkState {
 public:
  explicit Shroud(Call& call) : call_(call) {}

  // One value under a name already checked: None counts as ""; a dict, list
  // or tuple is rebuilt with each element walked; a string under a
  // password-like name is masked; anything else comes back as itself.
  Ref walk(Subject& subject, Handle value) {
    if (value.is_none()) value = kEmpty.get();
    Elements elements{*this, subject};
    Ref rebuilt = rebuild_container(value, elements);
    if (!rebuilt.is_null()) return rebuilt;
    Ref known = known_leaf(subject, value);
    if (!known.is_null()) return known;
    if (instance_of(value, &PyUnicode_Type, *this) && subject.is_password_like()) {
      python_may_run();
      return mask(value.size());
    }
    return Ref::borrow(value);
  }

 private:
  // What the elements of one container become: list and tuple elements stay
  // under the container's name, dictionary entries go under their keys.
  struct Elements {
    Shroud& shroud;
    Subject& subject;
    Ref item(Handle value) { return shroud.nested(subject, value); }
    Ref entry(Handle key, Handle value) { return shroud.nested(key, value); }
    bool kept(Handle key, Handle value) { return shroud.kept(key, value); }
    WalkState& state() { return shroud; }
    void python_may_run() { shroud.python_may_run(); }
    void quiet() { shroud.quiet(); }
    std::uint64_t epoch() const { return shroud.epoch(); }
  };

  // What a leaf becomes when that is known without running Python code: the
  // mask or the string itself, "" for None, an exact number itself. An
  // empty Ref for anything else.
  static Ref known_leaf(Subject& subject, Handle value) {
    if (value.is_exact(&PyUnicode_Type)) {
      return subject.is_password_like() ? mask(PyUnicode_GET_LENGTH(value.ptr())) : Ref::borrow(value);
    }
    if (value.is_none()) return Ref::borrow(kEmpty.get());
    if (is_plain_leaf(value)) return Ref::borrow(value);
    return Ref();
  }

  // `secretshroud(name=name, value=v)` through the module global, for an
  // element that stays under the container's name. Leaves are answered in
  // line while that global is this very function.
  Ref nested(Subject& subject, Handle value) {
    if (in_sync() && direct_) {
      Ref known = known_leaf(subject, value);
      if (!known.is_null()) return known;
    }
    return nested_call(subject.name(), &subject, value);
  }

  // The same for a dictionary entry, under its key.
  Ref nested(Handle key, Handle value) {
    if (in_sync() && direct_ && key.is_exact(&PyUnicode_Type)) {
      Subject subject(key);
      Ref known = known_leaf(subject, value);
      if (!known.is_null()) return known;
    }
    return nested_call(key, nullptr, value);
  }

  // Whether a dictionary entry's value comes back as itself, known without
  // running Python code: a number, or a string under a name that is not
  // password-like.
  bool kept(Handle key, Handle value) {
    if (!in_sync() || !direct_ || !key.is_exact(&PyUnicode_Type)) return false;
    if (value.is_exact(&PyUnicode_Type)) {
      Subject subject(key);
      return !subject.is_password_like();
    }
    return !value.is_none() && is_plain_leaf(value);
  }

  // The call itself: walked here directly, after the same entry check, while
  // the module global is this very function. `known` is the subject already
  // made for `name`, if any. `name` and `value` may be borrowed from their
  // container: both are held before the lookups, which can run Python code
  // that changes the container.
  [[gnu::noinline]] Ref nested_call(Handle name, Subject* known, Handle value) {
    Ref held_name = Ref::borrow(name);
    Ref held = Ref::borrow(value);
    if (!in_sync()) resync();
    if (!direct_) {
      python_may_run();
      return call_.global("secretshroud"_id)(Kw{"name"_id, held_name}, Kw{"value"_id, held});
    }
    if (!name.is_exact(&PyUnicode_Type) && !name.is_none()) raise_argument_type("name", &PyUnicode_Type, name);
    Subject fresh(name);
    StackGuard guard(stack_);
    Ref result = walk(known != nullptr ? *known : fresh, held);
    release(held, *this);
    release(held_name, *this);
    return result;
  }

  void resync() {
    sync();
    direct_ = call_.global_or_null("secretshroud"_id).is(call_.function());
  }

  Call& call_;
  const StackLimit& stack_ = native_stack_limit();
  bool direct_ = false;
};

Ref secretshroud(Call& call, Handle name, Handle value) {
  Shroud shroud(call);
  Subject subject(name);
  return shroud.walk(subject, value);
}

constexpr Param kParams[] = {exact("name", "str", &PyUnicode_Type, kNoneDefault), any("value", "Any", kNoneDefault)};
constexpr FunctionDecl kSecretshroud = declare<secretshroud>({
    .name = "secretshroud",
    .params = kParams,
    .returns = "Any",
    .doc = R"(
        Mask the strings under password-like names in a value, walking dictionaries, lists and tuples.

        :param name: 'param-name'
        :param value: 'param-value'
        :return: new object with masked password
        )",
});

void init(ModuleInit& module) {
  module.from_import("typing", {"Any"});
  module.add_function(kSecretshroud);
}

}  // namespace
}  // namespace tools

PyMODINIT_FUNC PyInit_secretshroud() { return tools::module_def("tools.common.secretshroud", tools::init); }
