// Conversions between Python values and the core's value types.
#include "common.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>

namespace veltrix::py {
namespace {

// collections.abc.Sequence, imported once per process.
PyObject* abc_sequence() {
    static std::atomic<PyObject*> cached{nullptr};
    return created_once(
        cached,
        []() -> PyObject* {
            PyObject* mod = PyImport_ImportModule("collections.abc");
            if (mod == nullptr) return nullptr;
            PyObject* seq = PyObject_GetAttrString(mod, "Sequence");
            Py_DECREF(mod);
            return seq;
        },
        [](PyObject* lost) { Py_DECREF(lost); });
}

// One node id from an int or an object with __index__.
bool id_from_py(PyObject* item, NodeId& out) {
    PyObject* index = PyLong_CheckExact(item) ? Py_NewRef(item) : PyNumber_Index(item);
    if (index == nullptr) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Calls `read(items, n)` when `obj` is an exact list or tuple of at most
// `max_len` exact ints, inside the list's critical section (converting exact
// ints runs no Python code). Returns whether it was called.
template <class Read>
bool read_exact_ints(PyObject* obj, std::size_t max_len, Read&& read) {
    bool called = false;
    auto visit = [&](PyObject* const* items, Py_ssize_t n) {
        if (static_cast<std::size_t>(n) > max_len) return;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyLong_CheckExact(items[i])) return;
        }
        called = true;
        read(items, n);
    };
    if (PyTuple_CheckExact(obj)) {
        visit(reinterpret_cast<PyTupleObject*>(obj)->ob_item, PyTuple_GET_SIZE(obj));
    } else if (PyList_CheckExact(obj)) {
        Py_BEGIN_CRITICAL_SECTION(obj);
        visit(reinterpret_cast<PyListObject*>(obj)->ob_item, PyList_GET_SIZE(obj));
        Py_END_CRITICAL_SECTION();
    }
    return called;
}

// Converts items[0..n) into `out`; false with an exception set on failure.
bool ids_from_items(PyObject* const* items, Py_ssize_t n, NodeId* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!id_from_py(items[i], out[i])) return false;
    }
    return true;
}

}  // namespace

void add_argument_note(const char* argument) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", argument);
    if (note != nullptr) {
        PyObject* r = PyObject_CallMethod(exc, "add_note", "O", note);
        Py_DECREF(note);
        Py_XDECREF(r);
    }
    if (PyErr_Occurred()) {
        // Failing to attach the note must not hide the original error.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

std::optional<std::string_view> text_view_from_py(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        conversion_error(obj, "str");
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(len));
}

std::optional<std::string> text_from_py(PyObject* obj) {
    auto view = text_view_from_py(obj);
    if (!view) return std::nullopt;
    return std::string(*view);
}

std::optional<std::vector<NodeId>> ids_from_py(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    std::vector<NodeId> ids;
    bool ok = true;
    bool out_of_memory = false;  // thrown only once the critical section has ended
    if (read_exact_ints(obj, SIZE_MAX, [&](PyObject* const* items, Py_ssize_t n) {
            try {
                ids.resize(static_cast<std::size_t>(n));
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
                return;
            }
            ok = ids_from_items(items, n, ids.data());
        })) {
        if (out_of_memory) throw std::bad_alloc();
        if (!ok) return std::nullopt;
        return ids;
    }

    if (!PySequence_Check(obj)) {
        PyObject* seq = abc_sequence();
        if (seq == nullptr) return std::nullopt;
        int is_seq = PyObject_IsInstance(obj, seq);
        if (is_seq < 0) return std::nullopt;
        if (is_seq == 0) {
            conversion_error(obj, "Sequence");
            return std::nullopt;
        }
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) PyErr_Clear();
    // A length is only a hint: never reserve more than a modest amount up front.
    if (hint > 0) ids.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16)));
    PyObject* it = PyObject_GetIter(obj);
    if (it == nullptr) return std::nullopt;
    while (PyObject* item = PyIter_Next(it)) {
        NodeId id = 0;
        ok = id_from_py(item, id);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(it);
            return std::nullopt;
        }
        ids.push_back(id);
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return std::nullopt;
    return ids;
}

bool IdList::assign(PyObject* obj) {
    count_ = 0;
    big_.clear();
    // A short exact list or tuple of exact ints is read in place.
    bool ok = true;
    if (read_exact_ints(obj, kSmall, [&](PyObject* const* items, Py_ssize_t n) {
            ok = ids_from_items(items, n, small_);
            if (ok) count_ = static_cast<std::size_t>(n);
        })) {
        return ok;
    }
    auto ids = ids_from_py(obj);
    if (!ids) return false;
    count_ = ids->size();
    if (count_ <= kSmall) {
        std::copy(ids->begin(), ids->end(), small_);
    } else {
        big_ = std::move(*ids);
    }
    return true;
}

namespace {

// One parameter value, testing bool, int, float and str in that order.
std::optional<ParamValue> param_value_from_py(PyObject* v) {
    if (Py_IS_TYPE(v, &PyBool_Type)) return ParamValue::Bool(v == Py_True);
    // Exact floats and strs have no earlier conversion that could succeed:
    // take them directly instead of failing through the integer attempt.
    if (PyFloat_CheckExact(v)) return ParamValue::Float(PyFloat_AS_DOUBLE(v));
    if (PyUnicode_CheckExact(v)) {
        auto s = text_from_py(v);
        if (!s) return std::nullopt;
        return ParamValue::Str(std::move(*s));
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0 && !(i == -1 && PyErr_Occurred())) return ParamValue::Int(i);
        PyErr_Clear();
    } else if (PyObject* index = PyNumber_Index(v)) {
        long long i = PyLong_AsLongLong(index);
        Py_DECREF(index);
        if (!(i == -1 && PyErr_Occurred())) return ParamValue::Int(i);
        PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    double d = PyFloat_AsDouble(v);
    if (!(d == -1.0 && PyErr_Occurred())) return ParamValue::Float(d);
    PyErr_Clear();
    if (PyUnicode_Check(v)) {
        auto s = text_from_py(v);
        if (!s) return std::nullopt;
        return ParamValue::Str(std::move(*s));
    }
    raise_error(PyExc_TypeError, "param values must be int, float, bool, or str");
    return std::nullopt;
}

}  // namespace

std::optional<ParamMap> params_from_py(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return ParamMap();
    if (!PyDict_Check(obj)) {
        raise_error(PyExc_TypeError, "params must be a dict or None");
        return std::nullopt;
    }
    std::vector<ParamEntry> entries;
    const Py_ssize_t used = PyDict_GET_SIZE(obj);
    entries.reserve(static_cast<std::size_t>(used));
    Py_ssize_t remaining = used;
    Py_ssize_t pos = 0;
    while (true) {
        // Each step reads one item inside the dict's critical section; the
        // conversions below may run Python code and so run outside it.
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        const char* failure = nullptr;
        Py_BEGIN_CRITICAL_SECTION(obj);
        if (PyDict_GET_SIZE(obj) != used) {
            failure = "dictionary changed size during iteration";
        } else if (PyDict_Next(obj, &pos, &key, &value)) {
            if (remaining == 0) {
                // More items than at the start: some key was replaced. The
                // extra item is never converted.
                key = value = nullptr;
                failure = "dictionary keys changed during iteration";
            } else {
                --remaining;
                Py_INCREF(key);
                Py_INCREF(value);
            }
        }
        Py_END_CRITICAL_SECTION();
        if (failure != nullptr) {
            raise_panic(failure);
            return std::nullopt;
        }
        if (key == nullptr) break;
        auto k = text_from_py(key);
        std::optional<ParamValue> v;
        if (k) v = param_value_from_py(value);
        Py_DECREF(key);
        Py_DECREF(value);
        if (!v) return std::nullopt;
        entries.push_back(ParamEntry{std::move(*k), std::move(*v)});
    }
    return ParamMap::make(std::move(entries));
}

bool ParamArgs::assign(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyDict_CheckExact(obj) && read_in_place(obj)) return true;
    auto params = params_from_py(obj);
    if (!params) return false;
    converted_ = std::move(*params);
    for (const ParamEntry& e : converted_.entries()) converted_refs_.push_back(ParamRef::of(e));
    return true;
}

namespace {

// One item, when its key is an exact str and its value an exact str, float,
// bool or int: false (maybe with an exception set) when it needs the general
// conversion.
bool read_item(PyObject* key, PyObject* value, ParamRef& r) {
    if (!PyUnicode_CheckExact(key)) return false;
    r = ParamRef{};
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (text == nullptr) return false;
    r.key = std::string_view(text, static_cast<std::size_t>(len));
    if (Py_IS_TYPE(value, &PyBool_Type)) {
        r.tag = ParamTag::Bool;
        r.bits = value == Py_True ? 1 : 0;
    } else if (PyFloat_CheckExact(value)) {
        r.tag = ParamTag::Float;
        r.bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        r.tag = ParamTag::Int;
        r.bits = static_cast<std::uint64_t>(PyLong_AsLongLongAndOverflow(value, &overflow));
        return overflow == 0;
    } else if (PyUnicode_CheckExact(value)) {
        text = PyUnicode_AsUTF8AndSize(value, &len);
        if (text == nullptr) return false;
        r.tag = ParamTag::Str;
        r.str = std::string_view(text, static_cast<std::size_t>(len));
    } else {
        return false;
    }
    return true;
}

}  // namespace

// Takes a reference to every key and value inside one critical section of
// the dict, which nothing in it can suspend, so the items are one state of
// the dict; reads them once it has ended. The views point into the items
// held, which stay alive until the call returns, whatever other threads do
// to the dict meanwhile (they run while the recording thread waits for the
// store). Gives up, holding nothing and with no exception set, at a dict of
// more than kSmall items or at the first item that needs the general
// conversion, which then reports any error in order.
bool ParamArgs::read_in_place(PyObject* dict) {
    bool fits = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (static_cast<std::size_t>(PyDict_GET_SIZE(dict)) > kSmall) fits = false;
    while (fits && PyDict_Next(dict, &pos, &key, &value)) {
        if (held_count_ == 2 * kSmall) {
            fits = false;
        } else {
            held_[held_count_++] = Py_NewRef(key);
            held_[held_count_++] = Py_NewRef(value);
        }
    }
    Py_END_CRITICAL_SECTION();
    const std::size_t n = held_count_ / 2;
    for (std::size_t i = 0; fits && i < n; ++i) fits = read_item(held_[2 * i], held_[2 * i + 1], small_.refs[i]);
    if (!fits) {
        release();
        PyErr_Clear();  // the general conversion raises it again, in order
        return false;
    }
    count_ = n;
    ParamMap::sort_refs(std::span<ParamRef>(small_.refs, count_));
    return true;
}

PyObject* descriptor_field_to_py(const PayloadDescriptor& d, const DescriptorField& field) {
    if (field.text != nullptr) return text_to_py(d.*field.text);
    const std::optional<std::string>& value = d.*field.optional;
    return value ? text_to_py(*value) : Py_NewRef(Py_None);
}

bool descriptor_field_from_py(PayloadDescriptor& d, const DescriptorField& field, PyObject* value) {
    if (field.optional != nullptr && value == Py_None) return true;
    auto text = text_from_py(value);
    if (!text) return false;
    if (field.text != nullptr) d.*field.text = std::move(*text);
    else d.*field.optional = std::move(*text);
    return true;
}

PyObject* descriptor_to_py(const PayloadDescriptor& d) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const DescriptorField& field : kDescriptorFields) {
        PyObject* value = descriptor_field_to_py(d, field);
        int rc = value == nullptr ? -1 : PyDict_SetItemString(dict, field.param.name, value);
        Py_XDECREF(value);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj) {
    if (const PayloadDescriptor* d = descriptor_of(obj)) return *d;
    if (!PyDict_Check(obj)) {
        raise_error(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
        return std::nullopt;
    }
    // The optional field is read first: a missing required one is reported
    // after a malformed optional one.
    PayloadDescriptor out;
    const DescriptorField& optional = kDescriptorFields[std::size(kDescriptorFields) - 1];
    for (std::size_t i = 0; i < std::size(kDescriptorFields); ++i) {
        const DescriptorField& field = i == 0 ? optional : kDescriptorFields[i - 1];
        PyObject* value = nullptr;
        const int found = PyDict_GetItemStringRef(obj, field.param.name, &value);
        if (found < 0) return std::nullopt;
        if (found == 0) {
            if (!field.param.required()) continue;
            raise_error(PyExc_ValueError, std::string("descriptor missing required field '") + field.param.name + "'");
            return std::nullopt;
        }
        const bool ok = descriptor_field_from_py(out, field, value);
        Py_DECREF(value);
        if (!ok) return std::nullopt;
    }
    return out;
}

std::optional<bool> flag_from_py(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
    // A NumPy bool scalar: its type comes from "numpy" and is named bool_ / bool.
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (module == nullptr) {
        PyErr_Clear();
    } else {
        bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
        Py_DECREF(module);
        const char* name = type->tp_name;
        const char* dot = std::strrchr(name, '.');
        if (dot != nullptr) name = dot + 1;
        if (numpy && (std::strcmp(name, "bool_") == 0 || std::strcmp(name, "bool") == 0)) {
            int truth = PyObject_IsTrue(obj);
            if (truth < 0) return std::nullopt;
            return truth == 1;
        }
    }
    conversion_error(obj, "PyBool");
    return std::nullopt;
}

bool reduce_options_from_py(PyObject* maximal_fusion, PyObject* outputs, ReduceOptions& out) {
    if (maximal_fusion != nullptr) {
        auto flag = convert_arg<bool>(flag_from_py, maximal_fusion, "maximal_fusion");
        if (!flag) return false;
        out.maximal_fusion = *flag;
    }
    if (outputs != nullptr && outputs != Py_None) {
        out.outputs = convert_arg<std::vector<NodeId>>(ids_from_py, outputs, "outputs");
        if (!out.outputs) return false;
    }
    return true;
}

GraphStore* store_arg(PyObject* obj, const char* argument) {
    if (GraphStore* s = store_of(obj)) return s;
    conversion_error(obj, "GraphStore");
    add_argument_note(argument);
    return nullptr;
}

PyObject* text_to_py(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* params_to_py(const ParamMap& params) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const ParamEntry& e : params.entries()) {
        PyObject* key = text_to_py(e.key);
        PyObject* value = nullptr;
        switch (e.value.tag()) {
            case ParamTag::Int: value = PyLong_FromLongLong(e.value.as_int()); break;
            case ParamTag::Float: value = PyFloat_FromDouble(e.value.as_float()); break;
            case ParamTag::Bool: value = PyBool_FromLong(e.value.as_bool()); break;
            case ParamTag::Str: value = text_to_py(e.value.as_str()); break;
        }
        int rc = (key != nullptr && value != nullptr) ? PyDict_SetItem(dict, key, value) : -1;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

PyObject* report_to_py(const ReductionReport& report) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const auto& [key, value] : report.entries()) {
        PyObject* v = PyLong_FromUnsignedLongLong(value);
        int rc = v == nullptr ? -1 : PyDict_SetItemString(dict, key, v);
        Py_XDECREF(v);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

PyObject* reduction_to_py(ReductionResult result) {
    PyObject* report = report_to_py(result.report);
    if (report == nullptr) return nullptr;
    PyObject* store = wrap_store(std::move(result.store));
    if (store == nullptr) {
        Py_DECREF(report);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, store, report);
    Py_DECREF(store);
    Py_DECREF(report);
    return pair;
}

PyObject* ids_to_py(std::span<const NodeId> ids) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLongLong(ids[i]);
        if (v == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), v);
    }
    return list;
}

}  // namespace veltrix::py
