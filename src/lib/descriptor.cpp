#include "lib/descriptor.h"

#include <string>
#include <utility>

#include "lib/binding.h"
#include "lib/classes.h"
#include "lib/convert.h"

namespace tavrine::py {

namespace {

// Immutable after construction, so any thread may read it without a lock.
using DescriptorClass = NativeClass<PayloadDescriptor>;

const PayloadDescriptor& value_of(PyObject* self) noexcept { return DescriptorClass::value(self); }

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
  return DescriptorClass::make(type, std::move(value));
}

PyObject* text_to_py(const std::string& text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <std::string PayloadDescriptor::* Field>
PyObject* get_text(PyObject* self, void* /*closure*/) {
  return exception_barrier([&]() -> PyObject* { return text_to_py(value_of(self).*Field); });
}

PyObject* get_preprocessing_ref(PyObject* self, void* /*closure*/) {
  return exception_barrier([&]() -> PyObject* {
    const auto& ref = value_of(self).preprocessing_ref;
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
  return DescriptorClass::create({"tavrine_core.PayloadDescriptor", kDoc, &constructor_entry<kNew, descriptor_new>,
                                  nullptr, kGetSet});
}

PyTypeObject* descriptor_type() noexcept { return DescriptorClass::type(); }

const PayloadDescriptor* descriptor_value(PyObject* obj) noexcept { return DescriptorClass::value_if(obj); }

}  // namespace tavrine::py
