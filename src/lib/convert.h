#pragma once
// Conversions between Python objects and the core's values, shared by every
// method. They run before any store lock is taken (they may call back into
// Python: __index__, __float__, iteration) and never hold one.
//
// Type mismatches read "'{type}' object is not an instance of '{expected}'"
// ("'None' is not an instance of '{expected}'" for None). Conversions of a
// named argument go through `convert_arg`, which prefixes a TypeError with
// "argument '{name}': "; `params` and `descriptor` raise their own texts.
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lib/errors.h"
#include "store/node.h"

namespace tavrine::py {

[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* expected);

// Re-raises a pending TypeError (exactly TypeError, not a subclass) as
// TypeError("argument '{name}': {message}") with the first error's cause;
// any other pending exception is left as it is.
void prefix_argument_error(const char* name) noexcept;

// Runs the conversion of the argument `name`, prefixing its TypeError.
template <class F>
decltype(auto) convert_arg(const char* name, F&& convert) {
  try {
    return convert();
  } catch (const PyErrSet&) {
    prefix_argument_error(name);
    throw;
  }
}

// A `str` as UTF-8, without copying: the view lives as long as `obj`.
std::string_view to_text_slow(PyObject* obj);
inline std::string_view to_text(PyObject* obj) {
  // ASCII text held inline is its own UTF-8: the common case costs no call.
  if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    return {static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
  }
  return to_text_slow(obj);
}

// Node ids of `inputs` or `outputs`. Holds up to eight ids without touching
// the heap; not copyable or movable (it points into itself).
class IdBuffer {
 public:
  static constexpr std::size_t kInline = 8;
  IdBuffer() noexcept = default;
  IdBuffer(const IdBuffer&) = delete;
  IdBuffer& operator=(const IdBuffer&) = delete;

  std::size_t capacity() const noexcept { return cap_; }
  std::span<const NodeId> span() const noexcept { return {data_, size_}; }
  std::vector<NodeId> to_vector() const { return {data_, data_ + size_}; }
  void clear() noexcept { size_ = 0; }
  void push_back(NodeId id) {
    if (size_ == cap_) [[unlikely]] grow(cap_ * 2);
    data_[size_++] = id;
  }
  // Only while fewer than capacity() ids are held.
  void push_unchecked(NodeId id) noexcept { data_[size_++] = id; }
  // Makes room for `n` ids; a length reported by the object is only a hint,
  // so the room reserved up front is bounded.
  void reserve_hint(Py_ssize_t n);
  // Makes room for `n` ids that exist (the items of a list or tuple).
  void reserve(std::size_t n) {
    if (n > cap_) grow(n);
  }

 private:
  void grow(std::size_t cap);
  NodeId inline_[kInline];
  std::unique_ptr<NodeId[]> heap_;
  NodeId* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t cap_ = kInline;
};

// Reads n items that are all exact, non-negative, single-digit ints (below
// 2^30) into `out` (room for n), or returns false (nothing raised) at the
// first item that is not one. Runs no Python code.
inline bool read_small_ids(PyObject* const* items, Py_ssize_t n, NodeId* out) noexcept {
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return false;
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    if (v < 0) return false;
    out[i] = static_cast<NodeId>(v);
  }
  return true;
}

// `inputs` / `outputs`: any sequence but str, each element an int or an
// object with __index__, in the unsigned 64-bit range.
//   str              TypeError "Can't extract `str` to `Vec`"
//   not a sequence   type mismatch for "Sequence"
//   bad element      the interpreter's TypeError / OverflowError
void to_ids(PyObject* obj, IdBuffer& out);
// None (or an omitted argument, nullptr) gives nullopt.
std::optional<std::vector<NodeId>> to_optional_ids(PyObject* obj);

// `params`: None/nullptr gives the empty map; a dict (subclasses included)
// gives its entries sorted by key. Its own messages, never prefixed:
//   "params must be a dict or None", the str mismatch for a key,
//   "param values must be int, float, bool, or str".
// A dict changed while it is read is an internal failure.
ParamMap to_params_slow(PyObject* obj);
inline ParamMap to_params(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return {};
  return to_params_slow(obj);
}

// `descriptor`: a PayloadDescriptor (its value is used in place) or a dict
// (filled into `scratch`). Returns the value to use; it lives as long as
// both `obj` and `scratch`.
//   "descriptor must be a PayloadDescriptor or dict"       TypeError
//   "descriptor missing required field '{}'"               ValueError
//   the str mismatch for a field that is not a str         TypeError
const PayloadDescriptor& to_descriptor(PyObject* obj, PayloadDescriptor& scratch);

// `data`: bytes or a subclass (not bytearray or memoryview), without
// copying; the view lives as long as `obj`.
std::string_view to_bytes(PyObject* obj);

// `maximal_fusion`: a bool, or a NumPy boolean scalar (recognised by its
// type's module and name, so NumPy is never imported).
bool to_flag(PyObject* obj);

// Results.
inline PyObject* id_to_py(NodeId id) { return check(PyLong_FromUnsignedLongLong(id)); }
PyObject* ids_to_list(std::span<const NodeId> ids);

}  // namespace tavrine::py
