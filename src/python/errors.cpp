// The single place where core errors and internal failures become Python
// exceptions.
#include "common.hpp"

#include <atomic>
#include <new>

namespace veltrix::py {

PyTypeObject* publish_type(std::atomic<PyTypeObject*>& slot, PyObject* created) {
    if (created == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    auto* fresh = reinterpret_cast<PyTypeObject*>(created);
    if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    Py_DECREF(created);  // another thread won the race
    return expected;
}

PyObject* panic_exception_type() {
    static std::atomic<PyTypeObject*> slot{nullptr};
    if (PyTypeObject* t = slot.load(std::memory_order_acquire)) return reinterpret_cast<PyObject*>(t);
    PyObject* created = PyErr_NewExceptionWithDoc(
        "veltrix.core.veltrix_core.PanicException",
        "An internal failure of veltrix-core (a broken invariant, never an input error).",
        PyExc_BaseException, nullptr);
    return reinterpret_cast<PyObject*>(publish_type(slot, created));
}

PyObject* map_err(BadNodeId err) {
    PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(err.id));
    return nullptr;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

VELTRIX_CATCHES_FORCED_UNWIND PyObject* raise_from_current_exception() {
    try {
        throw;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const InternalFailure& e) {
        return raise_panic(e.what());
    } catch (const ForkedWhileBusy& e) {
        // Not a broken invariant: the object cannot be used in this process.
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace veltrix::py
