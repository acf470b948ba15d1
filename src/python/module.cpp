// Module entry: the two entry points, the slots, and the execution function
// that registers the classes and the version function.
#include "common.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace veltrix::py {
namespace {

// A class's method table, docstrings and all, kept for the life of the
// process as its type object is (a table made by a thread that lost the
// race to create the type is kept too).
PyMethodDef* method_table(std::span<const Method> methods) {
    struct Table {
        std::vector<std::string> docs;
        std::vector<PyMethodDef> defs;
    };
    auto* table = new Table;
    table->docs.reserve(methods.size());  // no reallocation: defs point into the docs
    for (const Method& m : methods) {
        const char* doc = nullptr;
        if (m.doc != nullptr) {
            const char* receiver = (m.flags & METH_STATIC) != 0 ? "" : "$self";
            doc = table->docs.emplace_back(text_signature(m.name, receiver, m.args) + "\n--\n\n" + m.doc).c_str();
        }
        table->defs.push_back({m.name, m.function, m.flags, doc});
    }
    table->defs.push_back({nullptr, nullptr, 0, nullptr});
    return table->defs.data();
}

}  // namespace

PyTypeObject* create_class(const ClassSpec& spec, std::size_t basicsize, destructor dealloc) {
    const char* dot = std::strrchr(spec.name, '.');
    const std::string doc =
        text_signature(dot != nullptr ? dot + 1 : spec.name, "", &spec.construct_args) + "\n--\n\n" + spec.doc;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(spec.construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_methods, method_table(spec.methods)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {spec.getset != nullptr ? Py_tp_getset : 0, spec.getset},  // without attributes, ends the slots here
        {0, nullptr},
    };
    PyType_Spec type_spec = {spec.name, static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                             slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

namespace {

// The package version, from pyproject.toml (CMake defines it).
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VELTRIX_VERSION); }

PyMethodDef module_functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Sets module.<name> and appends the name to __all__ (created if missing).
int add_name(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
    if (all == nullptr) {
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    int rc = text == nullptr ? -1 : PyList_Append(all, text);
    Py_XDECREF(text);
    Py_DECREF(all);
    if (rc < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int add_type(PyObject* module, PyTypeObject* type) {
    if (type == nullptr) return -1;
    // tp_name carries the module path; the attribute is the plain name.
    const char* name = std::strrchr(type->tp_name, '.');
    return add_name(module, name != nullptr ? name + 1 : type->tp_name, reinterpret_cast<PyObject*>(type));
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_error(PyExc_TypeError, "veltrix_core can only be executed on a module object");
        return -1;
    }
    // The type objects and the objects cached for conversions are created
    // once per process, in the interpreter that asks first, and live in it.
    // Subinterpreters that check modules refuse this one (see the slots);
    // the legacy ones that do not (Py_NewInterpreter, as mod_wsgi uses) are
    // refused here, with the same message.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyObject* name = PyModule_GetNameObject(module);
        if (name == nullptr) return -1;
        const char* text = PyUnicode_AsUTF8(name);
        if (text != nullptr) {
            raise_error(PyExc_ImportError, std::string("module ") + text + " does not support loading in subinterpreters");
        }
        Py_DECREF(name);
        return -1;
    }
    if (panic_exception_type() == nullptr) return -1;
    set_lock_waiter(wait_detached);
    if (add_type(module, graph_store_type()) < 0) return -1;
    if (add_type(module, payload_descriptor_type()) < 0) return -1;
    if (add_type(module, incremental_reducer_type()) < 0) return -1;
    PyObject* fn = PyCFunction_NewEx(&module_functions[0], nullptr, nullptr);
    if (fn == nullptr) return -1;
    int rc = add_name(module, "version", fn);
    Py_DECREF(fn);
    return rc;
}

#if PY_VERSION_HEX >= 0x030F0000 && defined(Py_mod_abi)
#define VELTRIX_HAVE_MODEXPORT 1
PyABIInfo_VAR(abi_info);
#endif

// The type objects are created once per process, so the module refuses to
// load into a second interpreter (module_exec refuses the legacy ones).
PyModuleDef_Slot def_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef VELTRIX_HAVE_MODEXPORT
    {Py_mod_abi, &abi_info},
#endif
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veltrix_core",
    "",
    0,
    nullptr,
    def_slots,
    nullptr,
    nullptr,
    nullptr,
};

#ifdef VELTRIX_HAVE_MODEXPORT
// The slot array of interpreters that load modules from slots alone.
PySlot export_slots[] = {
    PySlot_PTR(Py_mod_exec, reinterpret_cast<void*>(module_exec)),
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_PTR(Py_mod_name, "veltrix_core"),
    PySlot_PTR(Py_mod_doc, ""),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    PySlot_END,
};
#endif

}  // namespace

std::atomic<bool> attaching_ended_a_thread{false};

VELTRIX_CATCHES_FORCED_UNWIND void attach(PyThreadState* state) {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        attaching_ended_a_thread.store(true, std::memory_order_relaxed);
        throw;
    }
#else
    PyEval_RestoreThread(state);
#endif
}

// Waits detached until the lock is free and returns attached; the caller
// then tries to take it again. The thread never attaches holding the lock,
// so one that attaching ends (see Threads in common.hpp) leaves it free for
// the finalizers that may still need it.
void wait_detached(void (*wait)(const void* lock), const void* lock) {
    PyThreadState* state = PyThreadState_GetUnchecked();
    if (state == nullptr) {  // detached already, inside long work
        wait(lock);
        return;
    }
    PyEval_SaveThread();
    wait(lock);
    attach(state);
}

}  // namespace veltrix::py

extern "C" {

PyMODINIT_FUNC PyInit_veltrix_core(void) { return PyModuleDef_Init(&veltrix::py::module_def); }

#ifdef VELTRIX_HAVE_MODEXPORT
PyMODEXPORT_FUNC PyModExport_veltrix_core(void) { return veltrix::py::export_slots; }
#endif
}
