#include "lib/binding.h"

#include <string>

namespace tavrine::py {

namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.n_required_positional != sig.n_positional) {
    raise_format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", sig.qualname,
                 int{sig.n_required_positional}, int{sig.n_positional}, given, verb);
  }
  raise_format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.qualname,
               int{sig.n_positional}, given, verb);
}

// The interpreter checks keyword names only on some call paths: a dict handed
// to a constructor through type.__call__, or the keywords a functools.partial
// keeps, can reach a binder with names of any type. Every name is checked
// before anything else, so that such a call fails the same way whatever else
// is wrong with it; a str subclass is a name like any other.
void require_str_names(PyObject* const* names, Py_ssize_t n) {
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!PyUnicode_Check(names[k])) [[unlikely]] raise(PyExc_TypeError, "keywords must be strings");
  }
}

// Places one keyword argument (its name is a str). A name that is not valid
// UTF-8 simply matches no parameter.
void place_keyword(const Signature& sig, PyObject* name, PyObject* value, BoundArgs& out) {
  for (std::size_t i = 0; i < sig.n_params; ++i) {
    if (PyUnicode_EqualToUTF8(name, sig.params[i].name)) {
      if (out.slot[i] != nullptr) {
        raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.qualname, sig.params[i].name);
      }
      out.slot[i] = value;
      return;
    }
  }
  raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.qualname, name);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the way the interpreter lists
// missing arguments of a Python function.
[[noreturn]] void missing(const Signature& sig, const char* which, std::size_t begin, std::size_t end,
                          const BoundArgs& out) {
  const char* names[kMaxParams];
  std::size_t n = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (sig.params[i].required && out.slot[i] == nullptr) names[n++] = sig.params[i].name;
  }
  std::string msg = sig.qualname;
  msg += " missing ";
  msg += std::to_string(n);
  msg += " required ";
  msg += which;
  msg += n == 1 ? " argument: " : " arguments: ";
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) msg += ',';
      msg += i + 1 == n ? " and " : " ";
    }
    msg += '\'';
    msg += names[i];
    msg += '\'';
  }
  raise(PyExc_TypeError, msg.c_str());
}

void check_complete(const Signature& sig, Py_ssize_t nargs, const BoundArgs& out) {
  if (nargs < sig.n_required_positional) {
    for (std::size_t i = 0; i < sig.n_required_positional; ++i) {
      if (out.slot[i] == nullptr) missing(sig, "positional", 0, sig.n_required_positional, out);
    }
  }
  for (std::size_t i = sig.n_positional; i < sig.n_params; ++i) {
    if (sig.params[i].required && out.slot[i] == nullptr) missing(sig, "keyword", sig.n_positional, sig.n_params, out);
  }
}

}  // namespace

void bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
  if (kwnames != nullptr) require_str_names(PySequence_Fast_ITEMS(kwnames), PyTuple_GET_SIZE(kwnames));
  if (nargs > sig.n_positional) [[unlikely]] too_many_positional(sig, nargs);
  out.use_slots(sig.n_params);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  }
  check_complete(sig, nargs, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) require_str_names(&name, 1);
  }
  if (nargs > sig.n_positional) [[unlikely]] too_many_positional(sig, nargs);
  out.use_slots(sig.n_params);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    // The keyword dict of a call is private to the call: no other thread
    // can see it, and the slots keep borrowing from it until the body ends.
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(sig, name, value, out);
  }
  check_complete(sig, nargs, out);
}

}  // namespace tavrine::py
