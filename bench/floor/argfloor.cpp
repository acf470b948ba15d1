// A benchmark-only extension module: the least work any add_op(name,
// inputs, params) written in C must do. add_op reads its arguments the way
// the real one does (a str name, a list of non-negative ints, a dict of str
// keys to str/int/float values), folds them into a hash and returns a small
// int, without storing or looking up anything. add_op_locked also takes and
// releases an uncontended lock, as a store shared between threads must, and
// returns a node-sized id, which is a new int object.
//
// bench/run.py times them beside add_op: the plain-Python store divided by
// these floors bounds the ratio to the plain-Python store that any
// implementation could reach, whatever its store does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <mutex>

namespace {

std::uint64_t fold(std::uint64_t h, const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3ULL;
    return h;
}

bool fold_text(PyObject* o, std::uint64_t& h) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (p == nullptr) return false;
    h = fold(h, p, n);
    return true;
}

// The hash of the arguments, or false with an exception set.
bool read_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::uint64_t& out) {
    if (kwnames != nullptr || nargs < 2 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "add_op(name, inputs, params=None)");
        return false;
    }
    std::uint64_t h = 0xcbf29ce484222325ULL;
    if (!PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "name must be str");
        return false;
    }
    if (!fold_text(args[0], h)) return false;
    if (!PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "inputs must be a list");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
        const long long v = PyLong_AsLongLong(PyList_GET_ITEM(args[1], i));
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0) {
            PyErr_SetString(PyExc_ValueError, "negative id");
            return false;
        }
        h = (h ^ static_cast<std::uint64_t>(v)) * 0x100000001b3ULL;
    }
    if (nargs == 3 && args[2] != Py_None) {
        if (!PyDict_Check(args[2])) {
            PyErr_SetString(PyExc_TypeError, "params must be a dict");
            return false;
        }
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(args[2], &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keys must be str");
                return false;
            }
            if (!fold_text(key, h)) return false;
            if (PyUnicode_Check(value)) {
                if (!fold_text(value, h)) return false;
            } else if (PyLong_Check(value)) {
                const long long v = PyLong_AsLongLong(value);
                if (v == -1 && PyErr_Occurred()) return false;
                h ^= static_cast<std::uint64_t>(v);
            } else if (PyFloat_Check(value)) {
                h ^= static_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
            } else {
                PyErr_SetString(PyExc_TypeError, "unsupported value");
                return false;
            }
        }
    }
    out = h;
    return true;
}

PyObject* add_op(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::uint64_t h = 0;
    if (!read_args(args, nargs, kwnames, h)) return nullptr;
    return PyLong_FromLong(static_cast<long>(h & 0xff));
}

std::mutex lock;

PyObject* add_op_locked(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::uint64_t h = 0;
    if (!read_args(args, nargs, kwnames, h)) return nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        h ^= h >> 29;
    }
    return PyLong_FromUnsignedLongLong(1000 + (h & 0xffff));
}

// detach(n): detaches from the interpreter and attaches again, n times: what
// a call pays to let other threads run while it works.
PyObject* detach(PyObject*, PyObject* arg) {
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0 && PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"add_op", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_op)), METH_FASTCALL | METH_KEYWORDS,
     "add_op(name, inputs, params=None): reads its arguments, stores nothing"},
    {"add_op_locked", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_op_locked)),
     METH_FASTCALL | METH_KEYWORDS, "add_op_locked(name, inputs, params=None): add_op, a lock and a new int"},
    {"detach", detach, METH_O, "detach(n): detach from the interpreter and attach again, n times"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "argfloor", "The argument-handling floor of add_op.", 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_argfloor() {
    PyObject* m = PyModule_Create(&module);
#ifdef Py_GIL_DISABLED
    if (m != nullptr) PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED);
#endif
    return m;
}
