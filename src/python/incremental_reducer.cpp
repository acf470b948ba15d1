// The IncrementalReducer class: a Python object owning one reducer state.
#include "common.hpp"

#include "optimizer/incremental.hpp"
#include "optimizer/saturation_engine.hpp"

namespace veltrix::py {
namespace {

using Held = std::unique_ptr<IncrementalReducer>;

IncrementalReducer& reducer(PyObject* self) { return *held<Held>(self); }

const ArgSpec new_args{"IncrementalReducer.__new__()", {}, {}};
const ArgSpec step_args{"IncrementalReducer.step()", {{"store"}}, {}};
const ArgSpec finalize_args{"IncrementalReducer.finalize()", {{"store"}}, {{"maximal_fusion", "False"}, {"outputs", "None"}}};

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* parsed[1];
    if (!parse_args(new_args, args, kwargs, parsed)) return nullptr;
    return guarded([&] { return new_instance(type, std::make_unique<IncrementalReducer>()); });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(step_args, args, nargs, kwnames, a)) return nullptr;
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
    PyObject* a[3];
    if (!parse_args(finalize_args, args, nargs, kwnames, a)) return nullptr;
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
    return raise_error(PyExc_TypeError,
                       "cannot pickle 'IncrementalReducer' object: pickle the GraphStore it reduces and step a new "
                       "reducer over it");
}

const Method reducer_methods[] = {
    {"step", FASTCALL_KW(step), &step_args,
     "Consume the nodes recorded in `store` since the last step. Returns how many were "
     "processed\n(the delta size). The reducer must always be fed the same store."},
    {"watermark", getter<&IncrementalReducer::watermark>, METH_NOARGS, nullptr,
     "How many of the store's nodes have been consumed so far."},
    {"total_work", getter<&IncrementalReducer::total_work>, METH_NOARGS, nullptr,
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", getter<&IncrementalReducer::canonical_count>, METH_NOARGS, nullptr,
     "Size of the maintained canonical form."},
    {"finalize", FASTCALL_KW(finalize), &finalize_args,
     "Finish: consume any remaining delta, "
     "then reduce the maintained canonical form against the\nstore's marked outputs \u2014 or, with `outputs=`, "
     "against EXACTLY that set (M22: stored marks\nignored). Returns the reduced store + report, exactly like "
     "`GraphStore.reduce`."},
    {"__reduce__", reducer_reduce, METH_NOARGS, nullptr, nullptr},
};

}  // namespace

PyTypeObject* incremental_reducer_type() {
    static const ClassSpec spec{
        "veltrix.core.veltrix_core.IncrementalReducer", reducer_new, new_args, reducer_methods, nullptr,
        "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is "
        "being built; each\n`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
        "commutativity dedup, hash-consing \u2014 the same sound rules the SaturationEngine runs), so a concise\n"
        "canonical form is maintained while building and `finalize` does one linear pass instead of a\nwhole-history "
        "optimization. `total_work()` counts nodes processed across all steps \u2014 it equals\nthe node count of the "
        "store, no matter how many steps fed it (the incrementality witness)."};
    return class_type<Held>(spec);
}

}  // namespace veltrix::py
