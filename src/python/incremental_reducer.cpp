// The IncrementalReducer class: a Python object owning one reducer state.
#include "common.hpp"

#include <atomic>
#include <new>

#include "optimizer/incremental.hpp"
#include "optimizer/saturation_engine.hpp"

namespace veltrix::py {
namespace {

struct ReducerObject {
    PyObject_HEAD
    std::unique_ptr<IncrementalReducer> reducer;
};

IncrementalReducer& reducer(PyObject* self) { return *reinterpret_cast<ReducerObject*>(self)->reducer; }

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const ArgSpec spec{"IncrementalReducer.__new__()", {}, 0, {}, 0};
    PyObject* parsed[1];
    if (!parse_args(spec, args, kwargs, parsed)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto owned = std::make_unique<IncrementalReducer>();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<ReducerObject*>(self)->reducer) std::unique_ptr<IncrementalReducer>(std::move(owned));
        return self;
    });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"IncrementalReducer.step()", {"store"}, 1, {}, 0};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        const GraphStore* store = store_arg(a[0], "store");
        if (store == nullptr) return nullptr;
        IncrementalReducer& r = reducer(self);
        // Detached when the delta is large; the count and watermark read
        // here only decide that.
        const bool large = store->node_count() >= r.watermark() + kDetachNodes;
        auto consumed = run_detached_if(large, [&] { return r.step(*store); });
        if (!consumed) return map_err(consumed.error());
        return PyLong_FromUnsignedLongLong(consumed.value());
    });
}

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"IncrementalReducer.finalize()", {"store"}, 1, {"maximal_fusion", "outputs"}, 0};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        const GraphStore* store = store_arg(a[0], "store");
        if (store == nullptr) return nullptr;
        ReduceOptions options;
        if (!reduce_options_from_py(a[1], a[2], options)) return nullptr;
        IncrementalReducer& r = reducer(self);
        auto result = run_detached([&] {
            const SaturationEngine engine;
            const FusionRule fusion = options.maximal_fusion ? FusionRule::Maximal : FusionRule::SingleUse;
            return r.finalize(*store, std::move(options.outputs), engine, fusion);
        });
        if (!result) return map_err(result.error());
        return reduction_to_py(std::move(result.value()));
    });
}

template <std::uint64_t (IncrementalReducer::*Getter)() const>
PyObject* getter(PyObject* self, PyObject*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong((reducer(self).*Getter)()); });
}

// A reducer's canonical form and watermark belong to one store in one
// process: pickling (and copying) it is refused.
PyObject* reducer_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pickle 'IncrementalReducer' object: pickle the GraphStore it reduces and step a new "
                    "reducer over it");
    return nullptr;
}

PyMethodDef reducer_methods[] = {
    {"step", FASTCALL_KW(step),
     "step($self, store)\n--\n\nConsume the nodes recorded in `store` since the last step. Returns how many were "
     "processed\n(the delta size). The reducer must always be fed the same store."},
    {"watermark", getter<&IncrementalReducer::watermark>, METH_NOARGS,
     "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far."},
    {"total_work", getter<&IncrementalReducer::total_work>, METH_NOARGS,
     "total_work($self)\n--\n\nCumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", getter<&IncrementalReducer::canonical_count>, METH_NOARGS,
     "canonical_count($self)\n--\n\nSize of the maintained canonical form."},
    {"finalize", FASTCALL_KW(finalize),
     "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\nFinish: consume any remaining delta, "
     "then reduce the maintained canonical form against the\nstore's marked outputs \u2014 or, with `outputs=`, "
     "against EXACTLY that set (M22: stored marks\nignored). Returns the reduced store + report, exactly like "
     "`GraphStore.reduce`."},
    {"__reduce__", reducer_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char reducer_doc[] =
    "IncrementalReducer()\n--\n\nGenuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is "
    "being built; each\n`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing \u2014 the same sound rules the SaturationEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\nwhole-history "
    "optimization. `total_work()` counts nodes processed across all steps \u2014 it equals\nthe node count of the "
    "store, no matter how many steps fed it (the incrementality witness).";

PyType_Slot reducer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holding<ReducerObject, &ReducerObject::reducer>)},
    {Py_tp_methods, reducer_methods},
    {Py_tp_doc, const_cast<char*>(reducer_doc)},
    {0, nullptr},
};

PyType_Spec reducer_spec = {
    "veltrix.core.veltrix_core.IncrementalReducer",
    sizeof(ReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reducer_slots,
};

std::atomic<PyTypeObject*> reducer_type_slot{nullptr};

}  // namespace

PyTypeObject* incremental_reducer_type() {
    if (PyTypeObject* t = reducer_type_slot.load(std::memory_order_acquire)) return t;
    return publish_type(reducer_type_slot, PyType_FromSpec(&reducer_spec));
}

}  // namespace veltrix::py
