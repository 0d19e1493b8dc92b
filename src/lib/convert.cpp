#include "lib/convert.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "lib/descriptor.h"

namespace tavrine::py {

void raise_type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) raise_format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    raise_format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'", expected);
  }
  raise_format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

void prefix_argument_error(const char* name) noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref first = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(first.get()));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_FromString("<unprintable TypeError object>"));
    if (!text) return;  // MemoryError is pending and is what the caller sees
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref second = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!second) return;
  // PyException_SetCause steals the cause reference (nullptr clears it).
  PyException_SetCause(second.get(), PyException_GetCause(first.get()));
  PyErr_SetRaisedException(second.release());
}

std::string_view to_text_slow(PyObject* obj) {
  if (!PyUnicode_Check(obj)) [[unlikely]] raise_type_mismatch(obj, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw_pyerr();  // UnicodeEncodeError (lone surrogates)
  return {utf8, static_cast<std::size_t>(size)};
}

// ---- node ids ----------------------------------------------------------------

void IdBuffer::reserve_hint(Py_ssize_t n) {
  // A sequence may report any length; what is reserved before any element
  // is seen stays small, and growth doubles from there.
  constexpr Py_ssize_t kMaxUpFront = Py_ssize_t{1} << 16;
  n = std::min(n, kMaxUpFront);
  if (n > 0 && static_cast<std::size_t>(n) > cap_) grow(static_cast<std::size_t>(n));
}

void IdBuffer::grow(std::size_t cap) {
  auto bigger = std::make_unique_for_overwrite<NodeId[]>(cap);
  std::memcpy(bigger.get(), data_, size_ * sizeof(NodeId));
  heap_ = std::move(bigger);
  data_ = heap_.get();
  cap_ = cap;
}

namespace {

// An int directly (subclasses by value, without calling their __index__),
// anything else through __index__.
NodeId to_id(PyObject* item) {
  unsigned long long v;
  if (PyLong_Check(item)) {
    v = PyLong_AsUnsignedLongLong(item);
  } else {
    Ref index = Ref::checked(PyNumber_Index(item));
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pyerr();
  return static_cast<NodeId>(v);
}

enum class Fast { Done, Fallback, Error };

// Reads the items of an exact list or tuple when they are all ints, so that
// no Python code can run while they are read; anything else falls back to
// the general iteration, which then starts over (nothing observable has
// happened yet). The room is reserved first because nothing may throw
// inside the critical section.
Fast read_int_items(PyObject* const* items, Py_ssize_t n, IdBuffer& out) noexcept {
  if (static_cast<std::size_t>(n) > out.capacity()) return Fast::Fallback;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
      Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
      if (small >= 0) {
        out.push_unchecked(static_cast<NodeId>(small));
        continue;
      }
    }
    if (!PyLong_Check(item)) return Fast::Fallback;
    unsigned long long v = PyLong_AsUnsignedLongLong(item);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Fast::Error;
    out.push_unchecked(static_cast<NodeId>(v));
  }
  return Fast::Done;
}

bool ids_fast(PyObject* obj, IdBuffer& out) {
  Fast result = Fast::Fallback;
  if (PyList_CheckExact(obj)) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
    // Another thread may resize the list (free-threaded build): the
    // critical section keeps the items in place while they are read.
    Py_BEGIN_CRITICAL_SECTION(obj);
    result = read_int_items(PySequence_Fast_ITEMS(obj), PyList_GET_SIZE(obj), out);
    Py_END_CRITICAL_SECTION();
  } else if (PyTuple_CheckExact(obj)) {
    out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(obj)));
    result = read_int_items(PySequence_Fast_ITEMS(obj), PyTuple_GET_SIZE(obj), out);
  }
  if (result == Fast::Error) throw_pyerr();
  if (result == Fast::Fallback) out.clear();
  return result == Fast::Done;
}

}  // namespace

void to_ids(PyObject* obj, IdBuffer& out) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (ids_fast(obj, out)) return;
  if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();  // the length is only a hint
  } else {
    out.reserve_hint(hint);
  }
  Ref iter = Ref::checked(PyObject_GetIter(obj));
  for (;;) {
    PyObject* raw = nullptr;
    int got = PyIter_NextItem(iter.get(), &raw);
    if (got < 0) throw_pyerr();
    if (got == 0) break;
    Ref item = Ref::steal(raw);
    out.push_back(to_id(item.get()));
  }
}

std::optional<std::vector<NodeId>> to_optional_ids(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  IdBuffer ids;
  to_ids(obj, ids);
  return ids.to_vector();
}

PyObject* ids_to_list(std::span<const NodeId> ids) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id_to_py(ids[i]));
  }
  return list.release();
}

// ---- params ------------------------------------------------------------------

namespace {

// A rule that does not apply says so with TypeError, ValueError or
// OverflowError, which is discarded so the next rule is tried; anything
// else (KeyboardInterrupt, MemoryError, whatever a user's __index__ or
// __float__ raises) ends the conversion unchanged.
void discard_rule_miss() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    throw_pyerr();
  }
  PyErr_Clear();
}

// First rule that applies: exactly bool, a signed 64-bit integer (int or
// __index__), a float (float, __float__, or an int beyond 64 bits), a str.
ParamValue to_param_value(PyObject* v) {
  if (PyBool_Check(v)) return ParamValue::of_bool(v == Py_True);
  long long i = PyLong_AsLongLong(v);
  if (!(i == -1 && PyErr_Occurred())) return ParamValue::of_int(static_cast<std::int64_t>(i));
  discard_rule_miss();
  if (PyFloat_CheckExact(v)) return ParamValue::of_float(PyFloat_AS_DOUBLE(v));
  double d = PyFloat_AsDouble(v);
  if (!(d == -1.0 && PyErr_Occurred())) return ParamValue::of_float(d);
  discard_rule_miss();
  if (PyUnicode_Check(v)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(v, &size)) {
      return ParamValue::of_str(std::string(utf8, static_cast<std::size_t>(size)));
    }
    discard_rule_miss();  // UnicodeEncodeError (lone surrogates) is a ValueError
  }
  raise(PyExc_TypeError, "param values must be int, float, bool, or str");
}

}  // namespace

ParamMap to_params_slow(PyObject* obj) {
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "params must be a dict or None");
  std::vector<tavrine::Param> entries;
  const Py_ssize_t initial = PyDict_Size(obj);
  entries.reserve(static_cast<std::size_t>(initial));
  // Converting a value may run Python code that changes the dict; like the
  // interpreter's own dict iterator, a change of size is caught before the
  // next item and a change of keys once more items arrive than there were,
  // and reported with its words (the caller's doing, not a broken invariant).
  Py_ssize_t remaining = initial;
  Py_ssize_t pos = 0;
  for (;;) {
    if (PyDict_Size(obj) != initial) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    if (remaining == -1) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    PyObject* key_raw = nullptr;
    PyObject* value_raw = nullptr;
    int got = 0;
    Py_BEGIN_CRITICAL_SECTION(obj);
    got = PyDict_Next(obj, &pos, &key_raw, &value_raw);
    if (got) {
      Py_INCREF(key_raw);
      Py_INCREF(value_raw);
    }
    Py_END_CRITICAL_SECTION();
    if (!got) break;
    --remaining;
    Ref key = Ref::steal(key_raw);
    Ref value = Ref::steal(value_raw);
    std::string_view key_text = to_text(key.get());
    entries.push_back(tavrine::Param{std::string(key_text), to_param_value(value.get())});
  }
  return ParamMap::sorted(std::move(entries));
}

// ---- descriptor ----------------------------------------------------------------

namespace {

// The value under `key`, or an empty Ref when the key is absent.
Ref dict_get(PyObject* dict, const char* key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &value) < 0) throw_pyerr();
  return Ref::steal(value);
}

}  // namespace

const PayloadDescriptor& to_descriptor(PyObject* obj, PayloadDescriptor& scratch) {
  if (const PayloadDescriptor* value = descriptor_value(obj)) return *value;
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  if (Ref ref = dict_get(obj, "preprocessing_ref"); ref && ref.get() != Py_None) {
    scratch.preprocessing_ref = std::string(to_text(ref.get()));
  } else {
    scratch.preprocessing_ref.reset();
  }
  struct Field {
    const char* key;
    std::string PayloadDescriptor::* member;
  };
  static constexpr Field kFields[] = {
      {"kind", &PayloadDescriptor::kind},           {"content_hash", &PayloadDescriptor::content_hash},
      {"framework", &PayloadDescriptor::framework}, {"version", &PayloadDescriptor::version},
      {"io_schema", &PayloadDescriptor::io_schema},
  };
  for (const Field& f : kFields) {
    Ref value = dict_get(obj, f.key);
    if (!value) raise_format(PyExc_ValueError, "descriptor missing required field '%s'", f.key);
    scratch.*f.member = std::string(to_text(value.get()));
  }
  return scratch;
}

// ---- data, flag ----------------------------------------------------------------

std::string_view to_bytes(PyObject* obj) {
  if (!PyBytes_Check(obj)) raise_type_mismatch(obj, "bytes");
  return {PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

namespace {

bool name_is(PyObject* text, const char* expected) {
  return text != nullptr && PyUnicode_Check(text) && PyUnicode_EqualToUTF8(text, expected);
}

// numpy.bool (NumPy 2) or numpy.bool_ (NumPy 1), recognised without
// importing NumPy.
bool is_numpy_bool(PyTypeObject* type) {
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!name_is(module.get(), "numpy")) return false;
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return name_is(name.get(), "bool") || name_is(name.get(), "bool_");
}

}  // namespace

bool to_flag(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool(type)) raise_type_mismatch(obj, "bool");
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    raise_format(PyExc_AttributeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
  }
  int truth = type->tp_as_number->nb_bool(obj);
  if (truth < 0) throw_pyerr();
  return truth != 0;
}

}  // namespace tavrine::py
