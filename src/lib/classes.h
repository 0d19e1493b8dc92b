#pragma once
// The one skeleton of the module's classes.
//
// Each class is a heap type built from a type description: immutable (no
// attribute can be set on the class), not subclassable, without an instance
// dict or weak references, and not tracked by the cycle collector (an
// instance holds no Python object). Its instances each hold one C++ value of
// type T, which is made before the instance and moved into it (T's move
// cannot throw, so a failure never leaves an instance half-built), never
// replaced, and destroyed with the instance. Whatever T holds is owned
// through T itself: a value, a std::shared_ptr shared with C++ code, or a
// std::unique_ptr for a C++ object that cannot move.
//
// The classes are made once per process by the module's exec step and
// shared by every module object (module.cpp).
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "lib/pyref.h"

namespace tavrine::py {

// What differs between the classes. The method and property tables must
// outlive the class (static arrays); either may be nullptr.
struct ClassSpec {
  const char* name;  // qualified: "tavrine_core.GraphStore"
  const char* doc;   // starts with the constructor's signature line
  newfunc construct;
  PyMethodDef* methods = nullptr;
  PyGetSetDef* properties = nullptr;
};

template <class T>
class NativeClass {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  // Makes the class; called once per process.
  static PyTypeObject* create(const ClassSpec& info) {
    static PyType_Slot slots[6];  // kept for the life of the class, like the tables
    std::size_t n = 0;
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(info.construct)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)};
    slots[n++] = {Py_tp_doc, const_cast<char*>(info.doc)};
    if (info.methods != nullptr) slots[n++] = {Py_tp_methods, info.methods};
    if (info.properties != nullptr) slots[n++] = {Py_tp_getset, info.properties};
    slots[n] = {0, nullptr};
    PyType_Spec description = {info.name, static_cast<int>(sizeof(Object)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type_ = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&description)));
    return type_;
  }

  // The class (nullptr before the module was first executed).
  static PyTypeObject* type() noexcept { return type_; }

  // A new instance of `type` (the class itself, from its constructor)
  // holding `value`.
  static PyObject* make(PyTypeObject* type, T&& value) {
    PyObject* obj = check(type->tp_alloc(type, 0));
    new (&as_object(obj)->value) T(std::move(value));
    return obj;
  }
  static PyObject* make(T&& value) { return make(type_, std::move(value)); }

  // The value of an instance (`self` of one of its methods).
  static T& value(PyObject* self) noexcept { return as_object(self)->value; }
  // The value when `obj` is an instance, else nullptr.
  static T* value_if(PyObject* obj) noexcept {
    if (type_ == nullptr || !PyObject_TypeCheck(obj, type_)) return nullptr;
    return &value(obj);
  }

 private:
  struct Object {
    PyObject_HEAD
    T value;
  };

  static Object* as_object(PyObject* obj) noexcept { return reinterpret_cast<Object*>(obj); }

  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_object(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);  // an instance of a heap type holds a reference to it
  }

  static inline PyTypeObject* type_ = nullptr;
};

}  // namespace tavrine::py
