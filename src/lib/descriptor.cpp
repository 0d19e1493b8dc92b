#include "lib/descriptor.h"

#include <new>
#include <string>
#include <utility>

#include "lib/binding.h"
#include "lib/classes.h"
#include "lib/convert.h"

namespace tavrine::py {

namespace {

// Immutable after construction, so any thread may read it without a lock.
struct DescriptorObject {
  PyObject_HEAD
  PayloadDescriptor value;
};

PyTypeObject* g_type = nullptr;

DescriptorObject* as_descriptor(PyObject* obj) noexcept { return reinterpret_cast<DescriptorObject*>(obj); }

PyObject* make(PyTypeObject* type, PayloadDescriptor&& value) {
  PyObject* obj = check(type->tp_alloc(type, 0));
  new (&as_descriptor(obj)->value) PayloadDescriptor(std::move(value));
  return obj;
}

constexpr ParamSpec kNewParams[] = {
    {"kind", true},    {"content_hash", true}, {"framework", true},
    {"version", true}, {"io_schema", true},    {"preprocessing_ref", false},
};
constexpr Signature kNew = make_signature("PayloadDescriptor.__new__()", kNewParams, 0);

std::string text_arg(const char* name, PyObject* obj) {
  return convert_arg(name, [&] { return std::string(to_text(obj)); });
}

PyObject* descriptor_new(PyTypeObject* type, const BoundArgs& args) {
  PayloadDescriptor value;
  value.kind = text_arg("kind", args[0]);
  value.content_hash = text_arg("content_hash", args[1]);
  value.framework = text_arg("framework", args[2]);
  value.version = text_arg("version", args[3]);
  value.io_schema = text_arg("io_schema", args[4]);
  if (PyObject* ref = args.or_none(5); ref != Py_None) value.preprocessing_ref = text_arg("preprocessing_ref", ref);
  return make(type, std::move(value));
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* text_to_py(const std::string& text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <std::string PayloadDescriptor::* Field>
PyObject* get_text(PyObject* self, void* /*closure*/) {
  return boundary([&]() -> PyObject* { return text_to_py(as_descriptor(self)->value.*Field); });
}

PyObject* get_preprocessing_ref(PyObject* self, void* /*closure*/) {
  return boundary([&]() -> PyObject* {
    const auto& ref = as_descriptor(self)->value.preprocessing_ref;
    return ref ? text_to_py(*ref) : Py_NewRef(Py_None);
  });
}

// Read-only properties, each with an empty docstring.
PyGetSetDef kGetSet[] = {
    {"kind", &get_text<&PayloadDescriptor::kind>, nullptr, "", nullptr},
    {"content_hash", &get_text<&PayloadDescriptor::content_hash>, nullptr, "", nullptr},
    {"framework", &get_text<&PayloadDescriptor::framework>, nullptr, "", nullptr},
    {"version", &get_text<&PayloadDescriptor::version>, nullptr, "", nullptr},
    {"io_schema", &get_text<&PayloadDescriptor::io_schema>, nullptr, "", nullptr},
    {"preprocessing_ref", &get_preprocessing_ref, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

}  // namespace

PyTypeObject* create_descriptor_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&constructor_entry<kNew, descriptor_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&descriptor_dealloc)},
      {Py_tp_getset, kGetSet},
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {0, nullptr},
  };
  g_type = make_class("tavrine_core.PayloadDescriptor", sizeof(DescriptorObject), slots);
  return g_type;
}

PyTypeObject* descriptor_type() noexcept { return g_type; }

const PayloadDescriptor* descriptor_value(PyObject* obj) noexcept {
  if (g_type == nullptr || !PyObject_TypeCheck(obj, g_type)) return nullptr;
  return &as_descriptor(obj)->value;
}

PyObject* wrap_descriptor(const PayloadDescriptor& value) {
  PayloadDescriptor copy = value;  // copied before the object exists, so a failure leaves nothing half-built
  return make(g_type, std::move(copy));
}

}  // namespace tavrine::py
