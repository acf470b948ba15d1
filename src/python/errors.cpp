// The single place where core errors and internal failures become Python
// exceptions.
#include "common.hpp"

#include <atomic>
#include <new>

namespace veltrix::py {

PyObject* panic_exception_type() {
    static std::atomic<PyObject*> slot{nullptr};
    return created_once(
        slot,
        [] {
            return PyErr_NewExceptionWithDoc(
                "veltrix.core.veltrix_core.PanicException",
                "An internal failure of veltrix-core (a broken invariant, never an input error).",
                PyExc_BaseException, nullptr);
        },
        [](PyObject* lost) { Py_DECREF(lost); });
}

PyObject* raise_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* map_err(BadNodeId err) {
    return raise_error(PyExc_ValueError, "no node with id " + std::to_string(err.id));
}

PyObject* map_err(const DecodeError& err) { return raise_error(PyExc_ValueError, err.message()); }

PyObject* conversion_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name, target);
    return nullptr;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    return raise_error(type, message);
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
        return raise_error(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace veltrix::py
