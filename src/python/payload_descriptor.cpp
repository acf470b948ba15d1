// The PayloadDescriptor class: a read-only wrapper around one descriptor.
#include "common.hpp"

#include <atomic>
#include <new>

namespace veltrix::py {
namespace {

struct DescriptorObject {
    PyObject_HEAD
    PayloadDescriptor value;
};

DescriptorObject* as_descriptor(PyObject* self) { return reinterpret_cast<DescriptorObject*>(self); }

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const ArgSpec spec{"PayloadDescriptor.__new__()",
                              {},
                              0,
                              {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"},
                              5};
    PyObject* a[6];
    if (!parse_args(spec, args, kwargs, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        PayloadDescriptor d;
        std::string* fields[] = {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema};
        const char* names[] = {"kind", "content_hash", "framework", "version", "io_schema"};
        for (int i = 0; i < 5; ++i) {
            auto s = convert_arg<std::string>(text_from_py, a[i], names[i]);
            if (!s) return nullptr;
            *fields[i] = std::move(*s);
        }
        if (a[5] != nullptr && a[5] != Py_None) {
            auto s = convert_arg<std::string>(text_from_py, a[5], "preprocessing_ref");
            if (!s) return nullptr;
            d.preprocessing_ref = std::move(*s);
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&as_descriptor(self)->value) PayloadDescriptor(std::move(d));
        return self;
    });
}

template <std::string PayloadDescriptor::*Field>
PyObject* get_text(PyObject* self, void*) {
    return guarded([&] { return text_to_py(as_descriptor(self)->value.*Field); });
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
    const auto& ref = as_descriptor(self)->value.preprocessing_ref;
    if (!ref) Py_RETURN_NONE;
    return guarded([&] { return text_to_py(*ref); });
}

PyGetSetDef descriptor_getset[] = {
    {"kind", get_text<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_text<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_text<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_text<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_text<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickles by its fields: copyreg.__newobj_ex__(PayloadDescriptor, (), fields)
// calls the constructor with them as keywords, under every protocol.
PyObject* descriptor_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const PayloadDescriptor& d = as_descriptor(self)->value;
        PyObject* newobj = nullptr;
        if (PyObject* copyreg = PyImport_ImportModule("copyreg")) {
            newobj = PyObject_GetAttrString(copyreg, "__newobj_ex__");
            Py_DECREF(copyreg);
        }
        if (newobj == nullptr) return nullptr;
        PyObject* pref = d.preprocessing_ref ? text_to_py(*d.preprocessing_ref) : Py_NewRef(Py_None);
        PyObject* result = nullptr;
        if (pref != nullptr) {
            result = Py_BuildValue("(O(O(){s:N,s:N,s:N,s:N,s:N,s:N}))", newobj, Py_TYPE(self), "kind",
                                   text_to_py(d.kind), "content_hash", text_to_py(d.content_hash), "framework",
                                   text_to_py(d.framework), "version", text_to_py(d.version), "io_schema",
                                   text_to_py(d.io_schema), "preprocessing_ref", pref);
        }
        Py_DECREF(newobj);
        return result;
    });
}

PyMethodDef descriptor_methods[] = {
    {"__reduce__", descriptor_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char descriptor_doc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holding<DescriptorObject, &DescriptorObject::value>)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_doc, const_cast<char*>(descriptor_doc)},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "veltrix.core.veltrix_core.PayloadDescriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    descriptor_slots,
};

std::atomic<PyTypeObject*> descriptor_type_slot{nullptr};

}  // namespace

PyTypeObject* payload_descriptor_type() {
    if (PyTypeObject* t = descriptor_type_slot.load(std::memory_order_acquire)) return t;
    return publish_type(descriptor_type_slot, PyType_FromSpec(&descriptor_spec));
}

const PayloadDescriptor* descriptor_of(PyObject* obj) {
    PyTypeObject* t = descriptor_type_slot.load(std::memory_order_acquire);
    if (t == nullptr || !Py_IS_TYPE(obj, t)) return nullptr;
    return &as_descriptor(obj)->value;
}

}  // namespace veltrix::py
