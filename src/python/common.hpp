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
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"
#include "optimizer/pipeline.hpp"

namespace veltrix::py {

// ---------------------------------------------------------------------------
// Argument parsing with the host's built-in-function messages.

struct ArgSpec {
    const char* function;  // "GraphStore.add_op()"
    std::initializer_list<const char*> positional;  // positional-or-keyword, in order
    std::size_t required_positional;                // how many of them are required
    std::initializer_list<const char*> keyword_only;
    std::size_t required_keyword_only;              // the first N keyword-only ones

    std::size_t size() const { return positional.size() + keyword_only.size(); }
};

// Fills `out` (spec.size() borrowed references, nullptr where not given).
// Returns false with a TypeError set on failure.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for the tuple/dict calling convention (tp_new).
bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// A method table entry's function and flags for a METH_FASTCALL |
// METH_KEYWORDS function.
#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

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

// BadNodeId -> ValueError "no node with id N".
PyObject* map_err(BadNodeId err);
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
// Types. Each type object is created once per process on first use.

PyTypeObject* graph_store_type();
PyTypeObject* payload_descriptor_type();
PyTypeObject* incremental_reducer_type();

// A new GraphStore object owning `store`.
PyObject* wrap_store(std::unique_ptr<GraphStore> store);
// The store of a GraphStore object, or nullptr when `obj` is not one.
GraphStore* store_of(PyObject* obj);
const PayloadDescriptor* descriptor_of(PyObject* obj);

// Publishes a lazily created type object; returns the winner of a race.
PyTypeObject* publish_type(std::atomic<PyTypeObject*>& slot, PyObject* created);

// tp_dealloc of a heap type whose instances hold one C++ value, `Object::*Field`.
template <class Object, auto Field>
void dealloc_holding(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto& field = reinterpret_cast<Object*>(self)->*Field;
    using Held = std::remove_reference_t<decltype(field)>;
    field.~Held();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace veltrix::py
