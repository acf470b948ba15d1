// The PayloadDescriptor class: a read-only wrapper around one descriptor.
#include "common.hpp"

#include <array>
#include <utility>

namespace veltrix::py {
namespace {

constexpr const DescriptorField (&F)[6] = kDescriptorFields;  // the constructor takes each field, in order
static_assert(std::size(kDescriptorFields) == 6);
const ArgSpec new_args{"PayloadDescriptor.__new__()",
                       {},
                       {F[0].param, F[1].param, F[2].param, F[3].param, F[4].param, F[5].param}};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[std::size(kDescriptorFields)];
    if (!parse_args(new_args, args, kwargs, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        PayloadDescriptor d;
        for (std::size_t i = 0; i < std::size(kDescriptorFields); ++i) {
            const DescriptorField& field = kDescriptorFields[i];
            if (a[i] == nullptr) continue;  // an optional one not given
            if (!descriptor_field_from_py(d, field, a[i])) {
                add_argument_note(field.param.name);
                return nullptr;
            }
        }
        return new_instance(type, std::move(d));
    });
}

template <std::size_t I>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&] { return descriptor_field_to_py(held<PayloadDescriptor>(self), kDescriptorFields[I]); });
}

template <std::size_t... I>
constexpr auto getset_of(std::index_sequence<I...>) {
    return std::array<PyGetSetDef, sizeof...(I) + 1>{
        PyGetSetDef{kDescriptorFields[I].param.name, get_field<I>, nullptr, nullptr, nullptr}...,
        PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
}
auto descriptor_getset = getset_of(std::make_index_sequence<std::size(kDescriptorFields)>());

// Pickles by its fields: copyreg.__newobj_ex__(PayloadDescriptor, (), fields)
// calls the constructor with them as keywords, under every protocol.
PyObject* descriptor_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* newobj = nullptr;
        if (PyObject* copyreg = PyImport_ImportModule("copyreg")) {
            newobj = PyObject_GetAttrString(copyreg, "__newobj_ex__");
            Py_DECREF(copyreg);
        }
        if (newobj == nullptr) return nullptr;
        PyObject* fields = descriptor_to_py(held<PayloadDescriptor>(self));
        PyObject* result = fields == nullptr ? nullptr : Py_BuildValue("(O(O()N))", newobj, Py_TYPE(self), fields);
        Py_DECREF(newobj);
        return result;
    });
}

const Method descriptor_methods[] = {
    {"__reduce__", descriptor_reduce, METH_NOARGS, nullptr, nullptr},
};

}  // namespace

PyTypeObject* payload_descriptor_type() {
    static const ClassSpec spec{
        "veltrix.core.veltrix_core.PayloadDescriptor", descriptor_new, new_args, descriptor_methods,
        descriptor_getset.data(),
        "Reproducibility metadata an External node carries (participates in the structural hash)."};
    return class_type<PayloadDescriptor>(spec);
}

}  // namespace veltrix::py
