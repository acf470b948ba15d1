// The module's one argument parser. Messages follow the host's conventions
// for built-in functions.
#include "common.hpp"

#include <cstring>

namespace veltrix::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else out += i + 1 == names.size() ? ", and " : ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool missing(const ArgSpec& spec, const char* what, const std::vector<const char*>& names) {
    std::string msg = std::string(spec.function) + " missing " + std::to_string(names.size()) + " required " + what +
                      (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

std::size_t required_count(std::initializer_list<Param> params) {
    std::size_t n = 0;
    for (const Param& p : params) n += p.required();
    return n;
}

bool too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
    std::string msg = spec.function;
    const std::size_t required = required_count(spec.positional);
    if (required != spec.positional.size()) {
        msg += " takes from " + std::to_string(required) + " to " +
               std::to_string(spec.positional.size());
    } else {
        msg += " takes " + std::to_string(spec.positional.size());
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const ArgSpec& spec, PyObject* name, PyObject* value, PyObject** out) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    auto matches = [&](const Param& param) {
        return std::strlen(param.name) == static_cast<std::size_t>(len) && std::memcmp(param.name, text, len) == 0;
    };
    const std::size_t npos = spec.positional.size();
    std::size_t slot = spec.size();
    std::size_t i = 0;
    for (const Param& p : spec.keyword_only) {
        if (matches(p)) slot = npos + i;
        ++i;
    }
    if (slot == spec.size()) {
        i = 0;
        for (const Param& p : spec.positional) {
            if (matches(p)) slot = i;
            ++i;
        }
    }
    if (slot == spec.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", spec.function, name);
        return false;
    }
    if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", spec.function, name);
        return false;
    }
    out[slot] = value;
    return true;
}

bool check_required(const ArgSpec& spec, PyObject** out) {
    std::vector<const char*> absent;
    std::size_t i = 0;
    for (const Param& p : spec.positional) {
        if (p.required() && out[i] == nullptr) absent.push_back(p.name);
        ++i;
    }
    if (!absent.empty()) return missing(spec, "positional", absent);
    i = 0;
    for (const Param& p : spec.keyword_only) {
        if (p.required() && out[spec.positional.size() + i] == nullptr) absent.push_back(p.name);
        ++i;
    }
    if (!absent.empty()) return missing(spec, "keyword", absent);
    return true;
}

bool place_positional(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
    for (std::size_t i = 0; i < spec.size(); ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > spec.positional.size()) return too_many_positional(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!place_positional(spec, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_required(spec, out);
}

bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!place_positional(spec, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
    if (kwargs != nullptr) {
        // The keyword dict of a call is private to the call.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(spec, key, value, out)) return false;
        }
    }
    return check_required(spec, out);
}

std::string text_signature(const char* name, const char* receiver, const ArgSpec* spec) {
    std::string out = std::string(name) + "(" + receiver;
    auto add = [&](const char* text) {
        if (out.back() != '(') out += ", ";
        out += text;
    };
    if (spec != nullptr) {
        auto add_param = [&](const Param& p) {
            add(p.name);
            if (!p.required()) out += std::string("=") + p.default_text;
        };
        for (const Param& p : spec->positional) add_param(p);
        if (spec->keyword_only.size() > 0) add("*");
        for (const Param& p : spec->keyword_only) add_param(p);
    }
    return out + ")";
}

}  // namespace veltrix::py
