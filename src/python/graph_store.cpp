// The GraphStore class: a Python object owning exactly one store.
#include "common.hpp"

#include <atomic>
#include <iterator>
#include <new>
#include <unordered_map>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/fingerprint.hpp"
#include "optimizer/saturation_engine.hpp"

namespace veltrix::py {
namespace {

using Held = std::unique_ptr<GraphStore>;

GraphStore& store(PyObject* self) { return *held<Held>(self); }

// The parameters of every method that takes some.
const ArgSpec new_args{"GraphStore.__new__()", {}, {}};
const ArgSpec add_source_args{"GraphStore.add_source()", {{"name"}, {"params", "None"}}, {}};
const ArgSpec add_op_args{"GraphStore.add_op()", {{"name"}, {"inputs"}, {"params", "None"}}, {}};
const ArgSpec add_reduction_args{"GraphStore.add_reduction()", {{"name"}, {"inputs"}, {"params", "None"}}, {}};
const ArgSpec add_external_args{"GraphStore.add_external()", {{"descriptor"}, {"inputs"}, {"params", "None"}}, {}};
const ArgSpec add_exchange_args{"GraphStore.add_exchange()", {{"inputs"}, {"params", "None"}}, {}};
const ArgSpec add_join_args{"GraphStore.add_join()", {{"inputs"}, {"params", "None"}}, {}};
const ArgSpec serialize_args{"GraphStore.serialize()", {{"outputs", "None"}}, {}};
const ArgSpec deserialize_args{"GraphStore.deserialize()", {{"data"}}, {}};
const ArgSpec restore_args{"GraphStore._restore()", {{"data"}, {"node_map"}}, {}};
const ArgSpec fingerprint_args{"GraphStore.fingerprint()", {{"outputs", "None"}}, {}};
const ArgSpec node_fingerprints_args{"GraphStore.node_fingerprints()", {{"ids", "None"}}, {}};
const ArgSpec nodes_of_args{"GraphStore._nodes()", {{"ids"}}, {}};
const ArgSpec reduce_args{"GraphStore.reduce()", {}, {{"maximal_fusion", "False"}, {"outputs", "None"}}};
const ArgSpec reduce_incremental_args{"GraphStore.reduce_incremental()", {}, {{"outputs", "None"}}};
const ArgSpec reduction_report_args{"GraphStore.reduction_report()", {}, {{"outputs", "None"}}};

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* parsed[1];
    if (!parse_args(new_args, args, kwargs, parsed)) return nullptr;
    return guarded([&] { return new_instance(type, std::make_unique<GraphStore>()); });
}

PyObject* intern_result(Result<NodeId, BadNodeId> r) {
    if (!r) return map_err(r.error());
    return PyLong_FromUnsignedLongLong(r.value());
}

// add_source / add_op / add_reduction: name, [inputs,] params.
template <NodeKind Kind>
PyObject* add_named(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr bool has_inputs = Kind != NodeKind::Source;
    const ArgSpec& spec = Kind == NodeKind::Source ? add_source_args
                          : Kind == NodeKind::Op   ? add_op_args
                                                   : add_reduction_args;
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto name = convert_arg<std::string_view>(text_view_from_py, a[0], "name");
        if (!name) return nullptr;
        IdList inputs;
        if constexpr (has_inputs) {
            if (!inputs.assign(a[1])) {
                add_argument_note("inputs");
                return nullptr;
            }
        }
        ParamArgs params;
        if (!params.assign(a[has_inputs ? 2 : 1])) return nullptr;
        return intern_result(store(self).intern_basic(Kind, *name, params.refs(), inputs.view()));
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


// add_exchange / add_join: inputs, params.
template <NodeKind Kind>
PyObject* add_boundary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_args(Kind == NodeKind::Exchange ? add_exchange_args : add_join_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        IdList inputs;
        if (!inputs.assign(a[0])) {
            add_argument_note("inputs");
            return nullptr;
        }
        ParamArgs params;
        if (!params.assign(a[1])) return nullptr;
        return intern_result(store(self).intern_basic(Kind, {}, params.refs(), inputs.view()));
    });
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args(add_external_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto inputs = convert_arg<std::vector<NodeId>>(ids_from_py, a[1], "inputs");
        if (!inputs) return nullptr;
        auto descriptor = descriptor_from_py(a[0]);
        if (!descriptor) return nullptr;
        ParamArgs params;
        if (!params.assign(a[2])) return nullptr;
        return intern_result(store(self).intern(
            NodeKey::external(std::move(*descriptor), ParamMap::from_refs(params.refs()), std::move(*inputs))));
    });
}

PyObject* to_dot(PyObject* self, PyObject*) {
    return guarded([&] {
        const GraphStore& s = store(self);
        std::string text = run_detached_if(s.node_count() >= kDetachNodes, [&] { return veltrix::to_dot(s); });
        return text_to_py(text);
    });
}

// An optional argument holding node ids (ids=, outputs=): nothing when it is
// omitted or None, otherwise the ids, each checked against the store's node
// count (which stays valid: a store only grows). False with an exception set.
bool ids_arg(const GraphStore& s, PyObject* arg, const char* name, std::optional<std::vector<NodeId>>& out) {
    if (arg == nullptr || arg == Py_None) return true;
    const std::size_t count = s.node_count();
    out = convert_arg<std::vector<NodeId>>(ids_from_py, arg, name);
    if (!out) return false;
    for (NodeId id : *out) {
        if (id >= count) {
            map_err(BadNodeId{id});
            return false;
        }
    }
    return true;
}

// The outputs argument of serialize and fingerprint: the store's marks by default.
bool outputs_arg(const GraphStore& s, PyObject* arg, std::vector<NodeId>& out) {
    std::optional<std::vector<NodeId>> ids;
    if (!ids_arg(s, arg, "outputs", ids)) return false;
    out = ids ? std::move(*ids) : s.outputs();
    return true;
}

// The blob of a store with these outputs, as a new bytes object.
PyObject* blob_of(const GraphStore& s, std::span<const NodeId> outputs) {
    // Take the node list under the lock, then encode straight into the
    // bytes object, which nothing else sees yet. Borrowed views suffice:
    // the store outlives this call and never changes or drops a node.
    LargeVector<NodeKey> nodes;
    std::size_t size = 0;
    run_detached_if(s.node_count() >= kDetachNodes, [&] {
        nodes = s.nodes_borrowed();
        size = serialized_size(nodes, outputs);
    });
    PyObject* blob = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (blob == nullptr) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(blob));
    run_detached_if(nodes.size() >= kDetachNodes, [&] { serialize_into(out, nodes, outputs); });
    return blob;
}

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(serialize_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<NodeId> outputs;
        if (!outputs_arg(store(self), a[0], outputs)) return nullptr;
        return blob_of(store(self), outputs);
    });
}

// The bytes of a bytes argument (subclasses accepted), valid while the
// caller's reference to it lives; TypeError with the argument note otherwise.
std::optional<std::span<const std::uint8_t>> bytes_arg(PyObject* obj, const char* name) {
    if (!PyBytes_Check(obj)) {
        conversion_error(obj, "PyBytes");
        add_argument_note(name);
        return std::nullopt;
    }
    // A bytes object cannot change, so it is read in place.
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

PyObject* decoded_store(Result<std::unique_ptr<GraphStore>, DecodeError> decoded) {
    if (!decoded) return map_err(decoded.error());
    return wrap_store(std::move(decoded.value()));
}

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(deserialize_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto bytes = bytes_arg(a[0], "data");
        if (!bytes) return nullptr;
        return decoded_store(
            run_detached_if(bytes->size() >= kDetachBytes, [&] { return veltrix::deserialize(*bytes); }));
    });
}

// Pickling. A store pickles as its blob, read back by deserialize; a reduced
// store also keeps its node map, beside the blob, read back by _restore.
PyObject* store_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const GraphStore& s = store(self);
        const std::vector<NodeMapEntry> map = s.node_map();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        PyObject* blob = blob_of(s, s.outputs());
        if (blob == nullptr) return nullptr;
        // "N" steals each reference, and lets go of them all when one is null.
        if (map.empty()) return Py_BuildValue("(N(N))", PyObject_GetAttrString(type, "deserialize"), blob);
        const std::vector<std::uint8_t> bytes = encode_node_map(map);
        return Py_BuildValue("(N(NN))", PyObject_GetAttrString(type, "_restore"), blob,
                             PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                       static_cast<Py_ssize_t>(bytes.size())));
    });
}

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_args(restore_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto bytes = bytes_arg(a[0], "data");
        if (!bytes) return nullptr;
        auto map = bytes_arg(a[1], "node_map");
        if (!map) return nullptr;
        return decoded_store(run_detached_if(bytes->size() >= kDetachBytes,
                                             [&] { return deserialize_with_node_map(*bytes, *map); }));
    });
}

// What fingerprints need of the store's nodes, packed under its lock (a pass
// that reads each node once and copies nothing but ids), and `hash` of it,
// run without the lock.
template <class F>
auto hash_packed(const GraphStore& s, std::optional<IdSpan> ids, F&& hash) {
    using Hashed = decltype(hash(std::declval<const PackedGraph&>()));
    return run_detached_if(s.node_count() >= kDetachNodes, [&]() -> Result<Hashed, BadNodeId> {
        auto packed = s.read_locked(
            [&](const NodeView& nodes, std::span<const NodeId>) { return PackedGraph::pack(nodes, ids); });
        if (!packed) return packed.error();
        return hash(packed.value());
    });
}

PyObject* fingerprint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(fingerprint_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        const GraphStore& s = store(self);
        std::vector<NodeId> outputs;
        if (!outputs_arg(s, a[0], outputs)) return nullptr;
        auto digest = hash_packed(s, outputs, [&](const PackedGraph& g) { return graph_digest(g, outputs); });
        if (!digest) return map_err(digest.error());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(digest.value().data()), sizeof(Digest));
    });
}

PyObject* node_fingerprints(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(node_fingerprints_args, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        const GraphStore& s = store(self);
        std::optional<std::vector<NodeId>> ids;
        if (!ids_arg(s, a[0], "ids", ids)) return nullptr;
        std::optional<IdSpan> wanted;
        if (ids) wanted = *ids;
        auto digests = hash_packed(s, wanted, [&](const PackedGraph& g) { return node_digests(g, wanted); });
        if (!digests) return map_err(digests.error());
        const LargeVector<Digest>& list = digests.value();
        PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
        if (out == nullptr) return nullptr;
        for (std::size_t i = 0; i < list.size(); ++i) {
            PyObject* d = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(list[i].data()), sizeof(Digest));
            if (d == nullptr) {
                Py_DECREF(out);
                return nullptr;
            }
            PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), d);
        }
        return out;
    });
}

// Builds one dict from (key, value) pairs; steals the values.
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    PyObject* dict = PyDict_New();
    bool ok = dict != nullptr;
    for (const auto& [key, value] : items) {
        if (ok && (value == nullptr || PyDict_SetItemString(dict, key, value) < 0)) ok = false;
        Py_XDECREF(value);
    }
    if (!ok) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

PyObject* member_to_py(const StageOp& member) {
    auto parsed = parse_op_token(member.label);
    if (!parsed) {
        std::string msg = "unparseable stage member token ";
        append_debug_str(msg, member.label);
        return raise_error(PyExc_ValueError, msg);
    }
    PyObject* refs = PyList_New(static_cast<Py_ssize_t>(member.inputs.size()));
    if (refs == nullptr) return nullptr;
    for (std::size_t i = 0; i < member.inputs.size(); ++i) {
        const StageRef& r = member.inputs[i];
        PyObject* ref = Py_BuildValue("(sn)", r.kind == StageRef::Input ? "input" : "member",
                                      static_cast<Py_ssize_t>(r.index));
        if (ref == nullptr) {
            Py_DECREF(refs);
            return nullptr;
        }
        PyList_SET_ITEM(refs, static_cast<Py_ssize_t>(i), ref);
    }
    return dict_of({{"kind", text_to_py(parsed->kind)},
                    {"name", text_to_py(parsed->name)},
                    {"params", params_to_py(parsed->params)},
                    {"inputs", refs}});
}

// Dict keys and kind names of the node view, and dict templates holding
// the keys of each shape in order: a node dict starts as a copy of its
// template (keys already hashed, table already sized) and gets its values
// set. Created once per process and kept.
struct ViewObjects {
    PyObject* id;
    PyObject* output;
    PyObject* inputs;
    PyObject* kind;
    PyObject* name;
    PyObject* params;
    PyObject* n_members;
    PyObject* members;
    PyObject* descriptor;
    PyObject* kinds[7];
    PyObject* plain_template;     // id .. params
    PyObject* stage_template;     // + n_members, members
    PyObject* external_template;  // + descriptor
};

PyObject* dict_template(std::initializer_list<PyObject*> keys) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (PyObject* key : keys) {
        if (PyDict_SetItem(dict, key, Py_None) < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

ViewObjects* make_view_objects();

const ViewObjects* view_objects() {
    static std::atomic<ViewObjects*> cached{nullptr};
    return created_once(cached, make_view_objects, [](ViewObjects* lost) { delete lost; });  // its strs stay interned
}

ViewObjects* make_view_objects() {
    auto v = std::make_unique<ViewObjects>();
    PyObject** const names[] = {&v->id,     &v->output,    &v->inputs,  &v->kind,      &v->name,
                                &v->params, &v->n_members, &v->members, &v->descriptor};
    const char* const texts[] = {"id", "output", "inputs", "kind", "name", "params", "n_members", "members", "descriptor"};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        if ((*names[i] = PyUnicode_InternFromString(texts[i])) == nullptr) return nullptr;  // kept: process lifetime
    }
    const char* const kinds[] = {"source", "op", "reduction", "external", "stage", "exchange", "join"};
    for (std::size_t i = 0; i < 7; ++i) {
        if ((v->kinds[i] = PyUnicode_InternFromString(kinds[i])) == nullptr) return nullptr;
    }
    v->plain_template = dict_template({v->id, v->output, v->inputs, v->kind, v->name, v->params});
    v->stage_template =
        dict_template({v->id, v->output, v->inputs, v->kind, v->name, v->params, v->n_members, v->members});
    v->external_template = dict_template({v->id, v->output, v->inputs, v->kind, v->name, v->params, v->descriptor});
    if (v->plain_template == nullptr || v->stage_template == nullptr || v->external_template == nullptr) return nullptr;
    return v.release();
}

// The name str and a params dict of every distinct head seen so far in one
// nodes() call; nodes that share a head get the same str and a copy of the
// dict (strs are immutable, dicts must not be shared).
class HeadObjects {
public:
    HeadObjects() = default;
    HeadObjects(const HeadObjects&) = delete;
    HeadObjects& operator=(const HeadObjects&) = delete;
    ~HeadObjects() {
        for (auto& [head, objects] : map_) {
            Py_DECREF(objects.first);
            Py_DECREF(objects.second);
        }
    }
    // New references to the name and a fresh params dict; false on error.
    bool get(const NodeKey& key, PyObject** name, PyObject** params) {
        auto it = map_.find(key.head_identity());
        if (it == map_.end()) {
            PyObject* n = text_to_py(key.name());
            if (n == nullptr) return false;
            PyObject* p = params_to_py(key.params());
            if (p == nullptr) {
                Py_DECREF(n);
                return false;
            }
            it = map_.emplace(key.head_identity(), std::make_pair(n, p)).first;
        }
        *params = PyDict_Copy(it->second.second);
        if (*params == nullptr) return false;
        *name = Py_NewRef(it->second.first);
        return true;
    }

private:
    std::unordered_map<const void*, std::pair<PyObject*, PyObject*>> map_;
};

// Sets one item of a dict made from a template; steals `value`.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* node_to_py(const ViewObjects& v, HeadObjects& heads, NodeId id, const NodeKey& key, bool output) {
    const NodeKind kind = key.kind();
    PyObject* dict = PyDict_Copy(kind == NodeKind::Stage      ? v.stage_template
                                 : kind == NodeKind::External ? v.external_template
                                                              : v.plain_template);
    if (dict == nullptr) return nullptr;
    PyObject* name = nullptr;
    PyObject* params = nullptr;
    bool ok = set_item(dict, v.id, PyLong_FromUnsignedLongLong(id)) &&
              set_item(dict, v.output, Py_NewRef(output ? Py_True : Py_False)) &&
              set_item(dict, v.inputs, ids_to_py(key.inputs())) &&
              set_item(dict, v.kind, Py_NewRef(v.kinds[static_cast<int>(kind)])) && heads.get(key, &name, &params) &&
              set_item(dict, v.name, name) && set_item(dict, v.params, params);
    if (ok && kind == NodeKind::Stage) {
        const auto& members = key.members();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(members.size()));
        ok = list != nullptr;
        for (std::size_t i = 0; ok && i < members.size(); ++i) {
            PyObject* m = member_to_py(members[i]);
            if (m == nullptr) ok = false;
            else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), m);
        }
        ok = ok && set_item(dict, v.n_members, PyLong_FromSize_t(members.size())) && set_item(dict, v.members, list);
        if (!ok) Py_XDECREF(list);
    } else if (ok && kind == NodeKind::External) {
        ok = set_item(dict, v.descriptor, descriptor_to_py(key.descriptor()));
    }
    if (!ok) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

// The views of every node (`ids_obj` null), or of the nodes `ids_obj` names.
PyObject* node_views(PyObject* self, PyObject* ids_obj) {
    return guarded([&]() -> PyObject* {
        const ViewObjects* v = view_objects();
        if (v == nullptr) return nullptr;
        const GraphStore& s = store(self);
        std::optional<std::vector<NodeId>> ids;
        if (ids_obj != nullptr && !ids_arg(s, ids_obj, "ids", ids)) return nullptr;
        // Every node: copies. Some nodes: borrowed views of all (valid while
        // the store lives), of which only those are read.
        Snapshot snap;
        LargeVector<NodeKey> borrowed;
        run_detached_if(s.node_count() >= kDetachNodes, [&] {
            if (!ids) {
                snap = s.snapshot();
            } else {
                snap.outputs = s.outputs();  // fixed when the store was made
                borrowed = s.nodes_borrowed();
            }
        });
        const std::span<const NodeKey> all = ids ? std::span<const NodeKey>(borrowed) : snap.nodes;
        std::vector<bool> is_output(all.size(), false);
        for (NodeId o : snap.outputs) is_output[o] = true;
        const std::size_t n = ids ? ids->size() : all.size();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
        if (list == nullptr) return nullptr;
        HeadObjects heads;
        for (std::size_t i = 0; i < n; ++i) {
            const NodeId id = ids ? (*ids)[i] : i;
            PyObject* d = node_to_py(*v, heads, id, all[id], is_output[id]);
            if (d == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), d);
        }
        return list;
    });
}

PyObject* nodes(PyObject* self, PyObject*) { return node_views(self, nullptr); }

// The views of some nodes only, in the order asked (what the command-line
// tool shows of the few nodes two graphs differ in).
PyObject* nodes_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!parse_args(nodes_of_args, args, nargs, kwnames, a)) return nullptr;
    return node_views(self, a[0]);
}

PyObject* node_map(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::vector<NodeMapEntry> map = store(self).node_map();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(map.size()));
        if (list == nullptr) return nullptr;
        for (std::size_t i = 0; i < map.size(); ++i) {
            PyObject* item;
            if (!map[i]) {
                item = Py_NewRef(Py_None);
            } else if (map[i]->member) {
                item = Py_BuildValue("(Kn)", static_cast<unsigned long long>(map[i]->node),
                                     static_cast<Py_ssize_t>(*map[i]->member));
            } else {
                item = Py_BuildValue("(KO)", static_cast<unsigned long long>(map[i]->node), Py_None);
            }
            if (item == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
    });
}

// reduce / reduce_incremental / reduction_report share one body: a fresh
// engine per call, the store side of reduction, and the result conversion.
enum class ReduceEntry { Reduce, Incremental, Report };

template <ReduceEntry Entry>
PyObject* reduce_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ArgSpec& spec = Entry == ReduceEntry::Reduce        ? reduce_args
                          : Entry == ReduceEntry::Incremental ? reduce_incremental_args
                                                              : reduction_report_args;
    PyObject* a[2] = {nullptr, nullptr};
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    PyObject* maximal = Entry == ReduceEntry::Reduce ? a[0] : nullptr;
    PyObject* outputs = Entry == ReduceEntry::Reduce ? a[1] : a[0];
    return guarded([&]() -> PyObject* {
        ReduceOptions options;
        if (!reduce_options_from_py(maximal, outputs, options)) return nullptr;
        const GraphStore& s = store(self);
        auto reduced = run_detached([&]() -> Result<ReductionResult, BadNodeId> {
            const SaturationEngine engine;
            const FusionRule fusion = options.maximal_fusion ? FusionRule::Maximal : FusionRule::SingleUse;
            if (options.outputs) return reduce_with_outputs(s, *options.outputs, engine, fusion);
            return reduce_with(s, engine, fusion);
        });
        if (!reduced) return map_err(reduced.error());
        if constexpr (Entry == ReduceEntry::Report) return report_to_py(reduced.value().report);
        return reduction_to_py(std::move(reduced).value());
    });
}

const Method store_methods[] = {
    {"add_source", FASTCALL_KW(add_named<NodeKind::Source>), &add_source_args, ""},
    {"add_op", FASTCALL_KW(add_named<NodeKind::Op>), &add_op_args, ""},
    {"add_reduction", FASTCALL_KW(add_named<NodeKind::Reduction>), &add_reduction_args, ""},
    {"add_external", FASTCALL_KW(add_external), &add_external_args, ""},
    {"add_exchange", FASTCALL_KW(add_boundary<NodeKind::Exchange>), &add_exchange_args,
     "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 "
     "an Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical input; "
     "`nodes()[i][\"kind\"] == \"exchange\"`."},
    {"add_join", FASTCALL_KW(add_boundary<NodeKind::Join>), &add_join_args,
     "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs "
     "`[left, right]`; identity is its\n`scheme` ParamMap (`params`) + its ordered inputs; "
     "`nodes()[i][\"kind\"] == \"join\"`."},
    {"node_count", node_count, METH_NOARGS, nullptr, ""},
    {"to_dot", to_dot, METH_NOARGS, nullptr, ""},
    {"serialize", FASTCALL_KW(serialize), &serialize_args,
     "Serialize the IR to the canonical, versioned, byte-identical durable "
     "form (plan M8 / A.3.1:\nthe serializable IR \u2014 not cloudpickle \u2014 is the canonical durable "
     "representation). With\n`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are "
     "a\nproperty of the compile request); the default keeps the marks-based behavior."},
    {"deserialize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(deserialize)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, &deserialize_args,
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, "
     "so\n`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {"nodes", nodes, METH_NOARGS, nullptr,
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the "
     "IR and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n(source|op|reduction|external|"
     "stage), `name`, `params`, `inputs`, `output` (bool), plus a\n`descriptor` dict for external nodes and "
     "`n_members` for stage nodes."},
    {"outputs", outputs, METH_NOARGS, nullptr,
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"node_map", node_map, METH_NOARGS, nullptr,
     "\u00a78.2(i): for each node of the arena this store was REDUCED FROM, where it "
     "landed here \u2014\n`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by "
     "that\narena's node id. Empty for a store that did not come out of a reduction."},
    {"reduce", FASTCALL_KW(reduce_entry<ReduceEntry::Reduce>), &reduce_args,
     "Reduce via the M4 optimizer (DCE + CSE + "
     "equality-saturation stage fusion behind\nRewriteEngine). Returns the reduced store and a report dict. "
     "`maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all land in one stage (the default "
     "single-use rule is\npinned by the frozen M4 suite)."},
    {"reduce_incremental", FASTCALL_KW(reduce_entry<ReduceEntry::Incremental>), &reduce_incremental_args,
     "One-shot incremental reduction of the current graph "
     "(same result as `reduce`). For genuine\nstep-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", FASTCALL_KW(reduce_entry<ReduceEntry::Report>), &reduction_report_args,
     "The reduction report for the current graph, without "
     "keeping the reduced store."},
    {"fingerprint", FASTCALL_KW(fingerprint), &fingerprint_args,
     "The SHA-256 content fingerprint (32 bytes) of the graph reachable from "
     "`outputs` (by default\nthe marked outputs) and of the outputs in their order. It depends on content alone: "
     "not on\nnode ids, recording order, unreachable nodes, process, hash seed or platform."},
    {"node_fingerprints", FASTCALL_KW(node_fingerprints), &node_fingerprints_args,
     "The SHA-256 content fingerprint (32 bytes) of each node in `ids` "
     "(by default every node,\nin id order): its kind, name, parameters, payload descriptor or stage members, and "
     "its\ninputs' fingerprints in order; never its id."},
    {"_nodes", FASTCALL_KW(nodes_of), &nodes_of_args,
     "The entries of `nodes()` for the nodes `ids` names, in that order."},
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, &restore_args,
     "Rebuild a pickled reduced store: its blob and its node map."},
    {"__reduce__", store_reduce, METH_NOARGS, nullptr, nullptr},
};

}  // namespace

PyTypeObject* graph_store_type() {
    static const ClassSpec spec{"veltrix.core.veltrix_core.GraphStore", store_new, new_args, store_methods, nullptr,
        "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
        "share across threads under the GIL and free-threaded 3.14t)."};
    return class_type<Held>(spec);
}

PyObject* wrap_store(std::unique_ptr<GraphStore> owned) {
    PyTypeObject* type = graph_store_type();
    if (type == nullptr) return nullptr;
    return new_instance(type, std::move(owned));
}

}  // namespace veltrix::py
