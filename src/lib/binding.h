#pragma once
// Argument binding, shared by every method, function and constructor.
//
// Each callable describes its parameters once, in a static `Signature`
// table: positional-or-keyword parameters first, then keyword-only ones,
// each required or optional (an omitted optional parameter is bound to
// nullptr and its default is applied by the body). `bind` places the
// arguments of a call into slots the way a Python function with that
// signature would, and reports every binding error as TypeError with the
// texts below ({} is the qualified name, e.g. "GraphStore.add_op()"):
//
//   "{} takes {} positional arguments but {} was|were given"
//   "{} takes from {} to {} positional arguments but {} was|were given"
//   "{} got an unexpected keyword argument '{}'"
//   "{} got multiple values for argument '{}'"
//   "{} missing {} required positional|keyword argument(s): 'a', 'b', and 'c'"
//
// checked in that order: too many positionals, then each keyword in call
// order, then the missing positional parameters, then the missing
// keyword-only ones. The wrappers at the bottom turn a body that takes the
// bound slots into the C entry points the interpreter calls, each running
// through the one exception barrier (errors.h).
#include <cstddef>
#include <cstdint>

#include "lib/errors.h"

namespace tavrine::py {

struct ParamSpec {
  const char* name;
  bool required;
};

struct Signature {
  const char* qualname;  // as the messages name the callable, with "()"
  const ParamSpec* params;   // positional-or-keyword ones first, then keyword-only
  std::uint8_t n_params;
  std::uint8_t n_positional;
  std::uint8_t n_required_positional;
  bool has_required_keyword_only;
};

inline constexpr std::size_t kMaxParams = 8;

// Builds a signature table at compile time. Required positional parameters
// must come before optional ones, as in a Python signature.
template <std::size_t N>
consteval Signature make_signature(const char* qualname, const ParamSpec (&params)[N], std::size_t n_positional) {
  static_assert(N <= kMaxParams, "raise kMaxParams");
  if (n_positional > N) throw "more positional parameters than parameters";
  std::size_t required = 0;
  while (required < n_positional && params[required].required) ++required;
  for (std::size_t i = required; i < n_positional; ++i) {
    if (params[i].required) throw "a required positional parameter follows an optional one";
  }
  bool required_keyword_only = false;
  for (std::size_t i = n_positional; i < N; ++i) required_keyword_only |= params[i].required;
  return Signature{qualname,
                   params,
                   static_cast<std::uint8_t>(N),
                   static_cast<std::uint8_t>(n_positional),
                   static_cast<std::uint8_t>(required),
                   required_keyword_only};
}
consteval Signature make_signature(const char* qualname) { return Signature{qualname, nullptr, 0, 0, 0, false}; }

// The bound arguments: borrowed references in the signature's parameter
// order, nullptr for an omitted optional parameter. A call with positional
// arguments only is read in place from the caller's argument array; any
// other call is sorted into `slot`.
struct BoundArgs {
  PyObject* operator[](std::size_t i) const noexcept { return i < n ? args[i] : nullptr; }
  // The argument, or None when it was omitted.
  PyObject* or_none(std::size_t i) const noexcept {
    PyObject* arg = (*this)[i];
    return arg ? arg : Py_None;
  }
  // Switches to sorting into `slot`, all `count` entries empty.
  void use_slots(std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) slot[i] = nullptr;
    args = slot;
    n = count;
  }

  PyObject* const* args = nullptr;
  std::size_t n = 0;
  PyObject* slot[kMaxParams];
};

// Vectorcall form: `nargs` positional arguments, then one value per name in
// `kwnames` (a tuple of str, or nullptr).
void bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);
inline void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
  // Positional arguments only, a count the signature accepts, nothing
  // keyword-only required: every slot is simply the argument.
  if (kwnames == nullptr && nargs >= sig.n_required_positional && nargs <= sig.n_positional &&
      !sig.has_required_keyword_only) [[likely]] {
    out.args = args;
    out.n = static_cast<std::size_t>(nargs);
    return;
  }
  bind_general(sig, args, nargs, kwnames, out);
}
// Tuple-and-dict form (tp_new). `kwargs` may be nullptr.
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// ---- entry points ----------------------------------------------------------

// `self` is nullptr for static methods.
using MethodBody = PyObject* (*)(PyObject* self, const BoundArgs& args);
using NoArgsBody = PyObject* (*)(PyObject* self);
using ConstructorBody = PyObject* (*)(PyTypeObject* type, const BoundArgs& args);

template <const Signature& Sig, MethodBody Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return exception_barrier([&]() -> PyObject* {
    BoundArgs bound;
    bind(Sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    return Body(self, bound);
  });
}

template <NoArgsBody Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return exception_barrier([&]() -> PyObject* { return Body(self); });
}

template <const Signature& Sig, ConstructorBody Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return exception_barrier([&]() -> PyObject* {
    BoundArgs bound;
    bind(Sig, args, kwargs, bound);
    return Body(type, bound);
  });
}

// Method table rows. The docstring starts with the signature line, "--" and
// an empty line, from which the interpreter derives __text_signature__.
template <const Signature& Sig, MethodBody Body>
PyMethodDef method_row(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Sig, Body>)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}
template <const Signature& Sig, MethodBody Body>
PyMethodDef static_method_row(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Sig, Body>)),
                     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}
// Without parameters the interpreter itself rejects any argument.
template <NoArgsBody Body>
PyMethodDef noargs_row(const char* name, const char* doc) {
  return PyMethodDef{name, &noargs_entry<Body>, METH_NOARGS, doc};
}

}  // namespace tavrine::py
