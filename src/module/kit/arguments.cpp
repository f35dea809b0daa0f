#include "module/kit/arguments.hpp"

#include <stdexcept>

namespace tarvek::py {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

[[noreturn]] void raise_missing(const CallableInfo& info, const std::vector<std::size_t>& missing) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
        names += "'" + info.params[missing[i]] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 info.qualified_name.c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                 names.c_str());
    throw PythonError();
}

// Places one keyword argument; returns false if the name is not a parameter.
void bind_keyword(const CallableInfo& info, PyObject* key, PyObject* value, PyObject** bound) {
    for (std::size_t i = 0; i < info.params.size(); ++i) {
        if (PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, info.params[i].c_str()) == 0) {
            if (bound[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             info.qualified_name.c_str(), info.params[i].c_str());
                throw PythonError();
            }
            bound[i] = value;
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 info.qualified_name.c_str(), key);
    throw PythonError();
}

void require_all_bound(const CallableInfo& info, PyObject** bound) {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < info.params.size(); ++i) {
        if (bound[i] == nullptr) missing.push_back(i);
    }
    if (!missing.empty()) raise_missing(info, missing);
}

void bind_positional(const CallableInfo& info, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** bound) {
    const auto count = static_cast<Py_ssize_t>(info.params.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     info.qualified_name.c_str(), count, count == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        throw PythonError();
    }
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
}

}  // namespace

void parse_signature(std::string_view signature, std::string& name,
                     std::vector<std::string>& params) {
    const auto open = signature.find('(');
    const auto close = signature.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        throw std::logic_error("malformed text signature");
    }
    name = std::string(trim(signature.substr(0, open)));
    params.clear();
    std::string_view list = trim(signature.substr(open + 1, close - open - 1));
    while (!list.empty()) {
        const auto comma = list.find(',');
        params.emplace_back(trim(list.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
}

void set_callable_info(CallableInfo& info, std::string qualified_name, std::string_view signature,
                       std::size_t arity) {
    std::string name;
    std::vector<std::string> params;
    parse_signature(signature, name, params);
    if (params.size() != arity) {
        throw std::logic_error("text signature does not match the callable: " + qualified_name);
    }
    if (!info.qualified_name.empty() && info.qualified_name != qualified_name) {
        throw std::logic_error("callable registered twice: " + qualified_name);
    }
    info.qualified_name = std::move(qualified_name);
    info.params = std::move(params);
}

void bind_arguments(const CallableInfo& info, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    bind_positional(info, args, nargs, bound);
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            bind_keyword(info, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound);
        }
    }
    require_all_bound(info, bound);
}

void bind_arguments(const CallableInfo& info, PyObject* args, PyObject* kwargs, PyObject** bound) {
    bind_positional(info, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), bound);
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) bind_keyword(info, key, value, bound);
    }
    require_all_bound(info, bound);
}

void raise_wrong_class(PyObject* object, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 _PyType_Name(Py_TYPE(object)), expected);
    throw PythonError();
}

}  // namespace tarvek::py
