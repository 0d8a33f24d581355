// The native function type: every operation of every module is one of these,
// made from a static declaration that carries its whole Python surface
// (parameters, annotation texts, defaults, checks, docstring) and its body.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/ref.hpp"

namespace tools {

// What a parameter's default is; `Required` parameters come first.
struct Default {
  enum class Kind : std::uint8_t { Required, None, True, False, Text };
  Kind kind = Kind::Required;
  std::string_view text{};
};

inline constexpr Default kRequired{};
inline constexpr Default kNoneDefault{Default::Kind::None};
inline constexpr Default kTrueDefault{Default::Kind::True};
inline constexpr Default kFalseDefault{Default::Kind::False};
constexpr Default text_default(std::string_view text) { return {Default::Kind::Text, text}; }

// What is done to an argument on entry.
enum class Check : std::uint8_t {
  Any,             // taken as it comes
  Exact,           // exactly `type` (None only where the default is None)
  ExactOrDefault,  // exactly `type`; None stands for the default
  Truth,           // reduced to its truth value
  TruthOrDefault,  // None stands for the default, anything else is reduced to its truth value
};

struct Param {
  std::string_view name;
  std::string_view annotation{};  // empty: the parameter has no annotation
  Default fallback = kRequired;
  Check check = Check::Any;
  PyTypeObject* type = nullptr;  // for the exact checks
};

// A parameter taken as it comes.
constexpr Param any(std::string_view name, std::string_view annotation = {}, Default fallback = kRequired) {
  return {name, annotation, fallback, Check::Any, nullptr};
}
// A parameter that must be exactly of `type` (or None, when its default is None).
constexpr Param exact(std::string_view name, std::string_view annotation, PyTypeObject* type,
                      Default fallback = kRequired) {
  return {name, annotation, fallback, Check::Exact, type};
}
// An exact `str` parameter for which None stands for its (text) default.
constexpr Param str_or_default(std::string_view name, std::string_view fallback) {
  return {name, "str", text_default(fallback), Check::ExactOrDefault, &PyUnicode_Type};
}
// A "bool" parameter reduced to its truth value on entry.
constexpr Param flag(std::string_view name, Default fallback) {
  return {name, "bool", fallback, Check::Truth, nullptr};
}
// A "bool" parameter for which None stands for its default.
constexpr Param flag_or_default(std::string_view name, Default fallback) {
  return {name, "bool", fallback, Check::TruthOrDefault, nullptr};
}

class Call;

// The form in which a declaration holds its operation's body: the body with
// its arguments taken from the bound values (see `declare`).
using Body = Ref (*)(Call&, PyObject* const* values);

struct FunctionDecl {
  std::string_view name;
  std::span<const Param> params{};
  std::string_view returns{};             // return annotation text; empty: none
  PyTypeObject* returns_exact = nullptr;  // a result must be exactly this type or None
  const char* doc = nullptr;
  Body body = nullptr;  // set by `declare`
};

inline constexpr std::size_t kMaxParams = 8;

struct FunctionObject;

// What an operation's body sees besides its arguments: the namespace of its
// module for call-time lookups, and the function object itself.
class Call {
 public:
  explicit Call(FunctionObject* function) : function_(function) {}

  // A module-level name, looked up when the statement runs (NameError if missing).
  Ref global(Name name) const;
  // The same, but an empty Ref when the name is not bound.
  Ref global_or_null(Name name) const;
  Handle globals() const;
  Handle function() const;

 private:
  FunctionObject* function_;
};

namespace detail {

// What a body's parameter is made of: a `Handle` takes the bound value as it
// is; a `bool` takes the truth value a "bool" parameter was reduced to on entry.
template <class T>
struct Argument;
template <>
struct Argument<Handle> {
  static constexpr bool is_flag = false;
  static Handle from(PyObject* value) { return value; }
};
template <>
struct Argument<bool> {
  static constexpr bool is_flag = true;
  static bool from(PyObject* value) { return value == Py_True; }
};

template <bool WithCall, class... A>
struct BodyShape {
  static constexpr bool with_call = WithCall;
  static constexpr std::size_t count = sizeof...(A);
  static constexpr std::array<bool, sizeof...(A)> flags{Argument<A>::is_flag...};
  template <std::size_t I>
  using Arg = std::tuple_element_t<I, std::tuple<A...>>;
};

// A body is `Ref f(Call&, A...)` or, when it needs nothing but its
// arguments, `Ref f(A...)`.
template <class F>
struct ShapeOf;
template <class... A>
struct ShapeOf<Ref (*)(Call&, A...)> : BodyShape<true, A...> {};
template <class... A>
struct ShapeOf<Ref (*)(A...)> : BodyShape<false, A...> {};

template <auto F>
Ref invoke([[maybe_unused]] Call& call, PyObject* const* values) {
  using Shape = ShapeOf<decltype(F)>;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    if constexpr (Shape::with_call) {
      return F(call, Argument<typename Shape::template Arg<I>>::from(values[I])...);
    } else {
      return F(Argument<typename Shape::template Arg<I>>::from(values[I])...);
    }
  }(std::make_index_sequence<Shape::count>{});
}

}  // namespace detail

// A declaration with `F` as its body. The body names every declared
// parameter as one of its own, in order: a "bool" parameter as a `bool`,
// any other as a `Handle`. A body that does not match its declaration does
// not compile.
template <auto F>
consteval FunctionDecl declare(FunctionDecl decl) {
  using Shape = detail::ShapeOf<decltype(F)>;
  if (decl.params.size() != Shape::count) throw "the body takes another number of arguments than its declaration";
  if (decl.params.size() > kMaxParams) throw "too many parameters";
  for (std::size_t i = 0; i < Shape::count; ++i) {
    const Check check = decl.params[i].check;
    const bool is_flag = check == Check::Truth || check == Check::TruthOrDefault;
    if (is_flag != Shape::flags[i]) throw "a body takes a \"bool\" parameter as a bool, and every other as a Handle";
  }
  decl.body = &detail::invoke<F>;
  return decl;
}

// Makes a function object. `owner` is the qualified name of the class that
// holds it (empty for a module-level function); `module` is its module.
Ref make_function(const FunctionDecl& decl, Handle module, std::string_view owner = {});

// Marks a function object as one the application's logging facility
// decorates: the keyword `logger`, which the decorator must drop, then gets
// a note when it arrives all the same.
void mark_decorated(Handle function);

// Whether `object` is a function object made from `decl`.
bool is_function_of(Handle object, const FunctionDecl& decl);

// Raises the argument-check TypeError for `value` given as `param`.
[[noreturn]] void raise_argument_type(std::string_view param, PyTypeObject* expected, Handle value);

// Checks that `value` is exactly `expected` or None; otherwise raises the
// "Expected %s, got %.200s" TypeError. Used by enforced return types.
void check_result_type(PyTypeObject* expected, Handle value);

}  // namespace tools
