// The native function type: every operation of every module is one of these,
// made from a static declaration that carries its whole Python surface
// (parameters, annotation texts, defaults, checks, docstring) and its body.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

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
using Body = Ref (*)(Call&);

struct FunctionDecl {
  std::string_view name;
  std::span<const Param> params{};
  std::string_view returns{};          // return annotation text; empty: none
  PyTypeObject* returns_exact = nullptr;  // a result must be exactly this type or None
  const char* doc = nullptr;
  Body body = nullptr;
};

inline constexpr std::size_t kMaxParams = 8;

struct FunctionObject;

// What an operation's body sees: its bound, checked arguments and the
// namespace of its module for call-time lookups.
class Call {
 public:
  Call(FunctionObject* function, PyObject* const* values) : function_(function), values_(values) {}

  Handle operator[](std::size_t index) const { return values_[index]; }
  template <std::size_t N>
  std::array<Handle, N> args() const {
    std::array<Handle, N> result;
    for (std::size_t i = 0; i < N; ++i) result[i] = values_[i];
    return result;
  }
  // The truth value a "bool" parameter was reduced to on entry.
  bool flag(std::size_t index) const { return values_[index] == Py_True; }

  // A module-level name, looked up when the statement runs (NameError if missing).
  Ref global(Name name) const;
  // The same, but an empty Ref when the name is not bound.
  Ref global_or_null(Name name) const;
  Handle globals() const;
  Handle function() const;

 private:
  FunctionObject* function_;
  PyObject* const* values_;
};

// Makes a function object. `owner` is the qualified name of the class that
// holds it (empty for a module-level function); `module` is its module.
Ref make_function(const FunctionDecl& decl, Handle module, std::string_view owner = {});

// Whether `object` is a function object made from `decl`.
bool is_function_of(Handle object, const FunctionDecl& decl);

// Raises the argument-check TypeError for `value` given as `param`.
[[noreturn]] void raise_argument_type(std::string_view param, PyTypeObject* expected, Handle value);

// Checks that `value` is exactly `expected` or None; otherwise raises the
// "Expected %s, got %.200s" TypeError. Used by enforced return types.
void check_result_type(PyTypeObject* expected, Handle value);

}  // namespace tools
