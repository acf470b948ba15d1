// Shared pieces of the binding layer: argument parsing, conversions between
// Python values and the core's value types, and the one place where core
// errors and internal failures become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "graph/blob.hpp"
#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"
#include "optimizer/pipeline.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------
// Argument parsing with the host's built-in-function messages.

// One parameter: its name, and the text of its default when it has one.
struct Param {
    const char* name;
    const char* default_text = nullptr;  // "None", "False"; nullptr: required

    bool required() const { return default_text == nullptr; }
};

// A callable's parameters, declared once: the parser reads calls by it and
// the text signature (`inspect.signature`) is written from it. In each
// group the required parameters come first.
struct ArgSpec {
    const char* function;  // "GraphStore.add_op()", as the messages name it
    std::initializer_list<Param> positional;  // positional-or-keyword, in order
    std::initializer_list<Param> keyword_only;

    std::size_t size() const { return positional.size() + keyword_only.size(); }
};

// Fills `out` (spec.size() borrowed references, nullptr where not given).
// Returns false with a TypeError set on failure.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for the tuple/dict calling convention (tp_new).
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);
// "name($self, a, b=None, *, c=False)": `receiver` is "$self" for a method
// and empty for a static method or a class.
std::string text_signature(const char* name, const char* receiver, const ArgSpec* spec);

// A method table entry for a METH_FASTCALL | METH_KEYWORDS function.
#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

// A method as a class declares it; its docstring starts with the text
// signature written from `args`.
struct Method {
    const char* name;
    PyCFunction function;
    int flags;
    const ArgSpec* args;  // nullptr: takes no arguments
    const char* doc;      // after the text signature; nullptr: no docstring at all
};

// ---------------------------------------------------------------------------
// An object created once per process on first use and kept. Threads that
// race each create one; the first to publish wins, the others drop theirs.
// `create` returns nullptr with an exception set on failure.
template <class T, class Create, class Drop>
T* created_once(std::atomic<T*>& slot, Create&& create, Drop&& drop) {
    if (T* made = slot.load(std::memory_order_acquire)) return made;
    T* fresh = create();
    if (fresh == nullptr) return nullptr;
    T* expected = nullptr;
    if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    drop(fresh);
    return expected;
}

// ---------------------------------------------------------------------------
// Conversions. Each returns false / nullopt with a Python exception set.

// Adds the note "while processing '<argument>'" to the pending exception.
void add_argument_note(const char* argument);

// The UTF-8 text of a str, valid while `obj` lives.
std::optional<std::string_view> text_view_from_py(PyObject* obj);
std::optional<std::string> text_from_py(PyObject* obj);
std::optional<std::vector<NodeId>> ids_from_py(PyObject* obj);

// Node ids of an argument, held inline when there are few of them.
class IdList {
public:
    std::span<const NodeId> view() const noexcept {
        return count_ <= kSmall ? std::span<const NodeId>(small_, count_) : std::span<const NodeId>(big_);
    }
    // Converts like ids_from_py: false with an exception set (without the
    // argument note) on failure.
    bool assign(PyObject* obj);

private:
    static constexpr std::size_t kSmall = 8;
    NodeId small_[kSmall];
    std::size_t count_ = 0;
    std::vector<NodeId> big_;
};
std::optional<ParamMap> params_from_py(PyObject* obj);

// Set once attaching again has begun to end a thread (CPython 3.13; see
// Threads below), which then unwinds through our frames detached.
extern std::atomic<bool> attaching_ended_a_thread;

// The params argument of a recording call as borrowed parameters, in map
// order. A small dict of exact strs, floats, bools and ints is read in place,
// holding a reference to each key and value it read; anything else is
// converted like params_from_py.
class ParamArgs {
public:
    ParamArgs() = default;
    ParamArgs(const ParamArgs&) = delete;
    ParamArgs& operator=(const ParamArgs&) = delete;
    ~ParamArgs() { release(); }
    // False with an exception set on failure.
    bool assign(PyObject* obj);
    ParamRefs refs() const noexcept {
        return converted_refs_.empty() ? ParamRefs(small_.refs, count_) : ParamRefs(converted_refs_);
    }

private:
    static constexpr std::size_t kSmall = 8;
    bool read_in_place(PyObject* dict);
    // Drops what read_in_place holds. A thread that attaching ends leaves
    // it to the interpreter, which it may no longer touch.
    void release() noexcept {
#if PY_VERSION_HEX < 0x030E0000
        if (attaching_ended_a_thread.load(std::memory_order_relaxed) && PyThreadState_GetUnchecked() == nullptr) {
            held_count_ = 0;
        }
#endif
        for (std::size_t i = 0; i < held_count_; ++i) Py_DECREF(held_[i]);
        held_count_ = 0;
    }
    // Left uninitialised: only the first count_ / held_count_ are used.
    union Small {
        Small() noexcept {}
        ParamRef refs[kSmall];
    } small_;
    PyObject* held_[2 * kSmall];
    std::size_t count_ = 0;
    std::size_t held_count_ = 0;
    ParamMap converted_;
    std::vector<ParamRef> converted_refs_;
};
// The descriptor's fields, in order: the constructor's keywords, the
// attributes, the keys of its dict form (node views, pickling, add_external).
struct DescriptorField {
    Param param;
    std::string PayloadDescriptor::*text;                    // nullptr for the optional one
    std::optional<std::string> PayloadDescriptor::*optional;  // nullptr for a text
};
inline constexpr DescriptorField kDescriptorFields[] = {
    {{"kind"}, &PayloadDescriptor::kind, nullptr},
    {{"content_hash"}, &PayloadDescriptor::content_hash, nullptr},
    {{"framework"}, &PayloadDescriptor::framework, nullptr},
    {{"version"}, &PayloadDescriptor::version, nullptr},
    {{"io_schema"}, &PayloadDescriptor::io_schema, nullptr},
    {{"preprocessing_ref", "None"}, nullptr, &PayloadDescriptor::preprocessing_ref},
};
// One field's value: a str, or None for an absent optional one.
PyObject* descriptor_field_to_py(const PayloadDescriptor& d, const DescriptorField& field);
// Sets one field from a str (or None for the optional one); false with an exception set.
bool descriptor_field_from_py(PayloadDescriptor& d, const DescriptorField& field, PyObject* value);
// The dict of all the fields.
PyObject* descriptor_to_py(const PayloadDescriptor& d);
std::optional<PayloadDescriptor> descriptor_from_py(PyObject* obj);
std::optional<bool> flag_from_py(PyObject* obj);  // bool or a NumPy bool scalar

// Conversion of a named argument: on failure, adds the argument note.
template <class T, class F>
std::optional<T> convert_arg(F&& convert, PyObject* obj, const char* argument) {
    std::optional<T> v = convert(obj);
    if (!v) add_argument_note(argument);
    return v;
}

// The keyword arguments of every reduction entry point, converted in order.
struct ReduceOptions {
    bool maximal_fusion = false;
    std::optional<std::vector<NodeId>> outputs;  // none: the store's marks
};
bool reduce_options_from_py(PyObject* maximal_fusion, PyObject* outputs, ReduceOptions& out);
// The store of a GraphStore argument; TypeError with the argument note otherwise.
GraphStore* store_arg(PyObject* obj, const char* argument);

PyObject* text_to_py(const std::string& s);
PyObject* params_to_py(const ParamMap& params);
PyObject* ids_to_py(std::span<const NodeId> ids);
// The report dict (six str -> int entries).
PyObject* report_to_py(const ReductionReport& report);
// The reduction result tuple (new GraphStore, report dict).
PyObject* reduction_to_py(ReductionResult result);

// ---------------------------------------------------------------------------
// Errors

// Each raises and returns nullptr, for `return raise_...(...)`.
// BadNodeId -> ValueError "no node with id N".
PyObject* map_err(BadNodeId err);
// DecodeError -> ValueError with its message.
PyObject* map_err(const DecodeError& err);
// TypeError "'<type>' object cannot be converted to '<target>'".
PyObject* conversion_error(PyObject* obj, const char* target);
// `type` (TypeError, ValueError ...) with a UTF-8 message.
PyObject* raise_error(PyObject* type, std::string_view message);
// Raises PanicException with the given text.
PyObject* raise_panic(std::string_view message);
// To be called inside a catch block: translates the in-flight C++ exception.
// The unwinding of a thread that attaching ends (see Threads) passes on.
PyObject* raise_from_current_exception();
// The internal-failure exception class (derives from BaseException).
PyObject* panic_exception_type();

// Runs `body`, translating any C++ exception escaping it. A thread that
// attaching ends (see Threads) unwinds through here untouched.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (...) {
        return raise_from_current_exception();
    }
}

// A handler for the unwinding of a thread that attaching ends (see Threads)
// gets no exception object: UndefinedBehaviorSanitizer would take the
// reference it binds for a null one.
#if defined(__GLIBCXX__)
#define VELTRIX_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define VELTRIX_CATCHES_FORCED_UNWIND
#endif

// ---------------------------------------------------------------------------
// Threads. Native work whose cost grows with a graph runs detached from the
// interpreter, so that other Python threads run meanwhile; Python arguments
// are read before and Python results built after. Our locks are taken
// without waiting or detached (see PoisonLock): wait_detached is the lock
// waiter the module installs.
//
// Attaching again may end the thread. While the interpreter finalizes, it
// ends every thread but the finalizing one that attaches: CPython 3.13 with
// pthread_exit, which unwinds the thread's stack, later versions by parking
// it for good. So a thread attaches outside every handler and every noexcept
// frame (guarded lets that unwinding pass), and the lock waiter attaches
// without the lock, which finalizers may still need.

// Detaching and attaching again costs about 75 ns, a few percent of a call
// on a small graph. Work over fewer nodes than this stays attached; at this
// size detaching costs under half a percent of the cheapest such call,
// serialize (bench/run.py, figure "threads", measures both sides).
inline constexpr std::size_t kDetachNodes = 512;
// The same for decoding a blob, by its size in bytes.
inline constexpr std::size_t kDetachBytes = 4096;

void wait_detached(void (*wait)(const void* lock), const void* lock);
// Attaches the calling thread again. When that ends the thread, notes it (see
// attaching_ended_a_thread) on the way out.
void attach(PyThreadState* state);

// Runs `work`, detached when `detach` is true. `work` must not touch Python
// objects; an exception escaping it propagates once attached again (which
// happens outside the handler that caught it).
template <class F>
decltype(auto) run_detached_if(bool detach, F&& work) {
    using R = decltype(work());
    if (!detach) return work();
    if constexpr (std::is_void_v<R>) {
        run_detached_if(true, [&] {
            work();
            return true;
        });
    } else {
        PyThreadState* state = PyEval_SaveThread();
        std::optional<R> result;
        std::exception_ptr failure;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        attach(state);
        if (failure) std::rethrow_exception(failure);
        return R(std::move(*result));
    }
}
template <class F>
decltype(auto) run_detached(F&& work) {
    return run_detached_if(true, std::forward<F>(work));
}

// ---------------------------------------------------------------------------
// Types. Each class's instances hold one C++ value; its type object is
// created once per process on first use.

template <class Held>
struct Instance {
    PyObject_HEAD
    Held value;
};

struct ClassSpec {
    const char* name;  // "veltrix.core.veltrix_core.GraphStore"
    newfunc construct;
    const ArgSpec& construct_args;  // the class's text signature
    std::span<const Method> methods;
    PyGetSetDef* getset;  // nullptr: none
    const char* doc;      // after the text signature
};
PyTypeObject* create_class(const ClassSpec& spec, std::size_t basicsize, destructor dealloc);

template <class Held>
inline std::atomic<PyTypeObject*> class_slot{nullptr};

template <class Held>
Held& held(PyObject* self) {
    return reinterpret_cast<Instance<Held>*>(self)->value;
}

template <class Held>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    held<Held>(self).~Held();
    type->tp_free(self);
    Py_DECREF(type);
}

// The class whose instances hold a Held.
template <class Held>
PyTypeObject* class_type(const ClassSpec& spec) {
    return created_once(
        class_slot<Held>, [&] { return create_class(spec, sizeof(Instance<Held>), dealloc_instance<Held>); },
        [](PyTypeObject* lost) { Py_DECREF(lost); });
}

// A new instance of `type` holding `value`.
template <class Held>
PyObject* new_instance(PyTypeObject* type, Held value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&held<Held>(self)) Held(std::move(value));
    return self;
}

// The value `obj` holds when it is an instance of exactly that class, else nullptr.
template <class Held>
Held* held_by(PyObject* obj) {
    PyTypeObject* type = class_slot<Held>.load(std::memory_order_acquire);
    if (type == nullptr || !Py_IS_TYPE(obj, type)) return nullptr;
    return &held<Held>(obj);
}

PyTypeObject* graph_store_type();
PyTypeObject* payload_descriptor_type();
PyTypeObject* incremental_reducer_type();

// A new GraphStore object owning `store`.
PyObject* wrap_store(std::unique_ptr<GraphStore> store);
// The store of a GraphStore object, or nullptr when `obj` is not one.
inline GraphStore* store_of(PyObject* obj) {
    auto* owned = held_by<std::unique_ptr<GraphStore>>(obj);
    return owned != nullptr ? owned->get() : nullptr;
}
inline const PayloadDescriptor* descriptor_of(PyObject* obj) { return held_by<PayloadDescriptor>(obj); }

}  // namespace veltrix::py
