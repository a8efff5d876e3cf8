// Argument binding: a call's positional and keyword arguments given to the
// parameters as the interpreter gives them to a Python function's, with its
// error texts and its order of checks; and the parameters that accept one
// built-in type exactly.
#include <cstdio>

#include "internal.hpp"

namespace zf::detail {

namespace {

PyObject* arg_count_error(Function* f, Py_ssize_t min, Py_ssize_t max, Py_ssize_t found) {
    Py_ssize_t expected = found < min ? min : max;
    const char* how = min == max ? "exactly" : (found < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->cname, how, expected, expected == 1 ? "" : "s", found);
    return fail_binding(f);
}

// The value of keyword `name` in a vectorcall's keywords, or NULL.
PyObject* kw_value(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues, int* err) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(name, PyTuple_GET_ITEM(kwnames, i), Py_EQ);
        if (eq < 0) {
            *err = 1;
            return nullptr;
        }
        if (eq) return kwvalues[i];
    }
    return nullptr;
}

// Index of `key` among params[from:to], or -1 (-2 on error).
Py_ssize_t find_param(Function* f, PyObject* key, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t i = from; i < to; ++i)
        if (PyTuple_GET_ITEM(f->params, i) == key) return i;
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject* p = PyTuple_GET_ITEM(f->params, i);
        if (PyUnicode_GET_LENGTH(p) != PyUnicode_GET_LENGTH(key)) continue;
        int eq = PyObject_RichCompareBool(p, key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

}  // namespace

PyObject* fail_binding(Function* f) {
    add_traceback(f->tb_name, f->line, &f->frames);
    return nullptr;
}

bool bind(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* defaults, PyObject** values) {
    const Py_ssize_t max = f->nparams;
    const Py_ssize_t ndef = defaults ? std::min<Py_ssize_t>(PyTuple_GET_SIZE(defaults), max) : 0;
    const Py_ssize_t min = max - ndef;
    if (max == 0) {
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f->cname);
            return fail_binding(f);
        }
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f->cname, nargs);
        return fail_binding(f);
    }
    if (nargs > max) return arg_count_error(f, min, max, nargs);
    for (Py_ssize_t i = 0; i < max; ++i) values[i] = i < nargs ? args[i] : nullptr;
    if (kwnames == nullptr) {
        if (nargs < min) return arg_count_error(f, min, max, nargs);
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t left = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = nargs; i < max; ++i) {
            if (i >= min && left <= 0) break;
            int err = 0;
            PyObject* v = kw_value(PyTuple_GET_ITEM(f->params, i), kwnames, kwvalues, &err);
            if (err) return fail_binding(f);
            if (v != nullptr) {
                values[i] = v;
                --left;
            } else if (i < min) {
                return arg_count_error(f, min, max, i);
            }
        }
        if (left > 0) {
            Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < n; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                Py_ssize_t at = find_param(f, key, nargs, max);
                if (at == -2) return fail_binding(f);
                if (at >= 0) {
                    values[at] = kwvalues[k];
                    continue;
                }
                at = find_param(f, key, 0, nargs);
                if (at == -2) return fail_binding(f);
                if (at >= 0)
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'", f->cname,
                                 key);
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 f->cname, key);
                return fail_binding(f);
            }
        }
    }
    for (Py_ssize_t i = min; i < max; ++i)
        if (values[i] == nullptr)
            values[i] = PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - max + i);
    return true;
}

bool check_exact_types(Function* f, PyObject* const* values) {
    for (int i = 0; i < f->nparams; ++i) {
        PyTypeObject* t = f->exact[i];
        if (t == nullptr || Py_TYPE(values[i]) == t) continue;
        // the interpreter's format, each name cut at 200 bytes, without its
        // formatting machinery: a refused argument costs no more than a raise
        char text[700];
        int n = std::snprintf(text, sizeof text,
                              "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                              PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->params, i)), t->tp_name,
                              Py_TYPE(values[i])->tp_name);
        PyObject* message = PyUnicode_DecodeUTF8(text, n, "replace");
        if (message != nullptr) {
            PyErr_SetObject(PyExc_TypeError, message);
            Py_DECREF(message);
        }
        fail_binding(f);
        return false;
    }
    return true;
}

}  // namespace zf::detail
