// The GraphStore class: a Python object owning exactly one store.
#include "common.hpp"

#include <atomic>
#include <new>

namespace veltrix::py {
namespace {

struct StoreObject {
    PyObject_HEAD
    std::unique_ptr<GraphStore> store;
};

StoreObject* as_store(PyObject* self) { return reinterpret_cast<StoreObject*>(self); }
GraphStore& store(PyObject* self) { return *as_store(self)->store; }

PyObject* new_store_object(PyTypeObject* type, std::unique_ptr<GraphStore> owned) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_store(self)->store) std::unique_ptr<GraphStore>(std::move(owned));
    return self;
}

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const ArgSpec spec{"GraphStore.__new__()", {}, 0, {}, 0};
    PyObject* parsed[1];
    if (!parse_args(spec, args, kwargs, parsed)) return nullptr;
    return guarded([&] { return new_store_object(type, std::make_unique<GraphStore>()); });
}

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_store(self)->store.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* intern_result(Result<NodeId, BadNodeId> r) {
    if (!r) return map_err(r.error());
    return PyLong_FromUnsignedLongLong(r.value());
}

// add_source / add_op / add_reduction: name, [inputs,] params.
template <NodeKind Kind>
PyObject* add_named(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec source_spec{"GraphStore.add_source()", {"name", "params"}, 1, {}, 0};
    static const ArgSpec op_spec{"GraphStore.add_op()", {"name", "inputs", "params"}, 2, {}, 0};
    static const ArgSpec red_spec{"GraphStore.add_reduction()", {"name", "inputs", "params"}, 2, {}, 0};
    constexpr bool has_inputs = Kind != NodeKind::Source;
    const ArgSpec& spec = Kind == NodeKind::Source ? source_spec : Kind == NodeKind::Op ? op_spec : red_spec;
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto name = convert_arg<std::string>(text_from_py, a[0], "name");
        if (!name) return nullptr;
        std::vector<NodeId> inputs;
        if constexpr (has_inputs) {
            auto ids = convert_arg<std::vector<NodeId>>(ids_from_py, a[1], "inputs");
            if (!ids) return nullptr;
            inputs = std::move(*ids);
        }
        auto params = params_from_py(a[has_inputs ? 2 : 1]);
        if (!params) return nullptr;
        NodeKey key = Kind == NodeKind::Source ? NodeKey::source(std::move(*name), std::move(*params))
                      : Kind == NodeKind::Op
                          ? NodeKey::op(std::move(*name), std::move(*params), std::move(inputs))
                          : NodeKey::reduction(std::move(*name), std::move(*params), std::move(inputs));
        return intern_result(store(self).intern(std::move(key)));
    });
}

PyObject* node_count(PyObject* self, PyObject*) {
    return guarded([&] { return PyLong_FromSize_t(store(self).node_count()); });
}

PyObject* outputs(PyObject* self, PyObject*) {
    return guarded([&] {
        std::vector<NodeId> ids = store(self).outputs();
        return ids_to_py(ids);
    });
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef store_methods[] = {
    {"add_source", FASTCALL_KW(add_named<NodeKind::Source>), "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", FASTCALL_KW(add_named<NodeKind::Op>), "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", FASTCALL_KW(add_named<NodeKind::Reduction>),
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"outputs", outputs, METH_NOARGS,
     "outputs($self)\n--\n\nThe marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {nullptr, nullptr, 0, nullptr},
};

const char store_doc[] =
    "GraphStore()\n--\n\nThread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, store_methods},
    {Py_tp_doc, const_cast<char*>(store_doc)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "veltrix.core.veltrix_core.GraphStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

std::atomic<PyTypeObject*> store_type_slot{nullptr};

}  // namespace

PyTypeObject* graph_store_type() {
    if (PyTypeObject* t = store_type_slot.load(std::memory_order_acquire)) return t;
    return publish_type(store_type_slot, PyType_FromSpec(&store_spec));
}

GraphStore* store_of(PyObject* obj) {
    PyTypeObject* t = store_type_slot.load(std::memory_order_acquire);
    if (t == nullptr || !Py_IS_TYPE(obj, t)) return nullptr;
    return as_store(obj)->store.get();
}

PyObject* wrap_store(std::unique_ptr<GraphStore> owned) {
    PyTypeObject* type = graph_store_type();
    if (type == nullptr) return nullptr;
    return new_store_object(type, std::move(owned));
}

}  // namespace veltrix::py
