// The module frame's runtime.  See zf.hpp for the model.
//
// Each extension module links its own copy of this file, so the statics below
// belong to one module: a module is executed once per process (a second
// module object is refused), which makes them its only state.
#include "zf.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zf {

namespace {

PyObject* g_module = nullptr;    // the one executed module object, kept for the process
PyObject* g_globals = nullptr;   // its namespace (borrowed from g_module)
PyObject* g_builtins = nullptr;  // builtins' namespace, kept for the process
PyObject* g_filename = nullptr;  // "zelkor_installer/utils/<module>"
const ModuleInfo* g_info = nullptr;

// ----------------------------------------------------------- tracebacks

// Adds the entry `funcname` at `line` of the module's file to the pending
// exception's traceback, as the interpreter does for a Python frame.  The
// frame of each line is made once and kept in `frame_cache`: a frame that no
// code runs in never changes, and making one costs more than the rest of a
// failing call.
void add_traceback(PyObject* funcname, unsigned line, PyObject** frame_cache) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject* frame = nullptr;
    PyObject* key = PyLong_FromUnsignedLong(line);
    if (key != nullptr && g_filename != nullptr && g_globals != nullptr) {
        if (*frame_cache == nullptr) *frame_cache = PyDict_New();
        if (*frame_cache != nullptr && PyDict_GetItemRef(*frame_cache, key, &frame) == 0) {
            PyObject* name_utf8 = PyUnicode_AsUTF8String(funcname);
            const char* file_utf8 = PyUnicode_AsUTF8(g_filename);
            PyObject* code = nullptr;
            if (name_utf8 != nullptr && file_utf8 != nullptr)
                code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(
                    file_utf8, PyBytes_AS_STRING(name_utf8), static_cast<int>(line)));
            if (code != nullptr)
                frame = reinterpret_cast<PyObject*>(
                    PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                g_globals, nullptr));
            if (frame != nullptr) PyDict_SetItem(*frame_cache, key, frame);
            Py_XDECREF(code);
            Py_XDECREF(name_utf8);
        }
    }
    PyErr_Clear();  // a failure to describe the error must not replace it
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_XDECREF(frame);
    Py_XDECREF(key);
}

PyObject* g_init_frames = nullptr;

// Turns the C++ exception being handled into the pending Python exception
// and gives the line its traceback entry names: a Raised carries its own, any
// other failure is reported at `fallback`.
unsigned pending_from_current(unsigned fallback) {
    try {
        throw;
    } catch (const Raised& r) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
        return r.line;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return fallback;
}

// The pending exception gets `interrupted` as its __context__, as an
// exception raised while another is handled does (never itself).
void set_context(object interrupted) {
    PyObject* now = PyErr_GetRaisedException();
    if (now != nullptr && now != interrupted.ptr())
        PyException_SetContext(now, interrupted.release().ptr());
    PyErr_SetRaisedException(now);
}

// ------------------------------------------------------- function object

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict or NULL
    PyObject* globals;
    PyObject* closure;
    PyObject* params;     // tuple of interned parameter names
    PyObject* code;       // __code__, made on first use
    PyObject* tb_name;    // "<module>.<qualname>" for traceback entries
    PyObject* tb_frames;  // line -> frame of traceback entries
    Invoker impl;
    int nparams;
    unsigned line;
    // the built-in type a parameter's annotation demands exactly, if any
    PyTypeObject* exact[max_params];
    const char* expected[max_params];
    const char* cname;  // the name as given at definition, for error texts
};

extern PyTypeObject FunctionType;

inline Function* as_func(PyObject* o) { return reinterpret_cast<Function*>(o); }

PyObject* fail_binding(Function* f) {
    add_traceback(f->tb_name, f->line, &f->tb_frames);
    return nullptr;
}

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

// Binds a call's arguments to the parameters: positional first, then
// keywords, then defaults, reporting errors as the interpreter words them.
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

// The line of a body's raise_return, for the traceback entry of its failure.
unsigned g_returned_line = 0;

// A body returned empty-handed: its exception is set (see raise_return).
void fail_returned(Function* f) {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    add_traceback(f->tb_name, g_returned_line != 0 ? g_returned_line : f->line, &f->tb_frames);
    g_returned_line = 0;
}

PyObject* run_body(Function* f, PyObject* const* argv) {
    for (int i = 0; i < f->nparams; ++i) {
        PyTypeObject* t = f->exact[i];
        if (t != nullptr && Py_TYPE(argv[i]) != t) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->params, i)), f->expected[i],
                         Py_TYPE(argv[i])->tp_name);
            return fail_binding(f);
        }
    }
    try {
        PyObject* result = f->impl(f->closure, argv);
        if (result == nullptr) fail_returned(f);
        return result;
    } catch (...) {
        add_traceback(f->tb_name, pending_from_current(f->line), &f->tb_frames);
    }
    return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = as_func(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams) return run_body(f, args);
    PyObject* values[max_params];
    // the body may replace __defaults__; the bound defaults must outlive the call
    object defaults = py::reinterpret_borrow<object>(f->defaults);
    if (!bind(f, args, nargs, kwnames, defaults.ptr(), values)) return nullptr;
    return run_body(f, values);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->params);
    Py_VISIT(f->code);
    Py_VISIT(f->tb_name);
    Py_VISIT(f->tb_frames);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_func(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->params);
    Py_CLEAR(f->code);
    Py_CLEAR(f->tb_name);
    Py_CLEAR(f->tb_frames);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// pickle and copy store a function by reference to its qualified name
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_func(self)->qualname); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_func(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->name, Py_NewRef(v));
    return 0;
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_func(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->qualname, Py_NewRef(v));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_func(self)->defaults, Py_XNewRef(v));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_func(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(v));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_func(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_func(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_func(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_func(self)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_func(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

// A code object that describes the parameters, so that inspect.signature()
// and help() show them as they show a Python function's.
PyObject* get_code(PyObject* self, void*) {
    Function* f = as_func(self);
    if (f->code != nullptr) return Py_NewRef(f->code);
    const char* file = g_filename ? PyUnicode_AsUTF8(g_filename) : "";
    const char* name = PyUnicode_AsUTF8(f->name);
    if (file == nullptr || name == nullptr) return nullptr;
    PyObject* empty =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, static_cast<int>(f->line)));
    if (empty == nullptr) return nullptr;
    PyObject* replace = PyObject_GetAttrString(empty, "replace");
    Py_DECREF(empty);
    if (replace == nullptr) return nullptr;
    PyObject* kw = Py_BuildValue("{s:i,s:O,s:i,s:O}", "co_argcount", f->nparams, "co_varnames",
                                 f->params, "co_nlocals", f->nparams, "co_qualname", f->qualname);
    PyObject* noargs = PyTuple_New(0);
    PyObject* code = (kw && noargs) ? PyObject_Call(replace, noargs, kw) : nullptr;
    Py_XDECREF(noargs);
    Py_XDECREF(kw);
    Py_DECREF(replace);
    if (code == nullptr) return nullptr;
    f->code = code;
    return Py_NewRef(code);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef function_methods[] = {{"__reduce__", function_reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyTypeObject FunctionType = []() noexcept {
    PyTypeObject t{};
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    t.ob_base = head;
    t.tp_name = "zelkor_installer.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of a native module, called as a Python function is.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

bool g_type_ready = false;

}  // namespace

// ------------------------------------------------------------- literals

PyObject* intern(const char* utf8) {
    PyObject* s = PyUnicode_InternFromString(utf8);
    if (s == nullptr) Py_FatalError("zelkor_installer: cannot create a constant string");
    return s;  // kept for the life of the process
}

// ------------------------------------------------------ names and objects

namespace {

// Every change to a dict gives it a new version (a process-wide counter), so
// a name's value found when the namespace and the builtins had the versions
// seen now is still its value: the same answer as a fresh lookup, without one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#pragma GCC diagnostic pop

struct GlobalSlot {
    PyObject* name = nullptr;  // interned, immortal
    PyObject* globals = nullptr;
    uint64_t globals_version = 0;
    uint64_t builtins_version = 0;
    PyObject* value = nullptr;  // a reference of the slot's own
};
GlobalSlot g_global_slots[64];

GlobalSlot& slot_of(PyObject* name) {
    return g_global_slots[(reinterpret_cast<std::uintptr_t>(name) >> 4U) % 64U];
}

}  // namespace

object global(handle name, Site s) {
    PyObject* v = nullptr;
    if (g_globals != nullptr && g_builtins != nullptr) {
        GlobalSlot& slot = slot_of(name.ptr());
        if (slot.name == name.ptr() && slot.globals == g_globals &&
            slot.globals_version == dict_version(g_globals) &&
            slot.builtins_version == dict_version(g_builtins))
            return borrow(slot.value);
    }
    if (g_globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "module is not initialised");
        raised(s.line);
    }
    int r = PyDict_GetItemRef(g_globals, name.ptr(), &v);
    if (r == 0 && g_builtins != nullptr) r = PyDict_GetItemRef(g_builtins, name.ptr(), &v);
    if (r < 0) raised(s.line);
    if (r == 0) {
        PyObject* msg = PyUnicode_FromFormat("name '%U' is not defined", name.ptr());
        PyObject* exc = msg ? PyObject_CallOneArg(PyExc_NameError, msg) : nullptr;
        Py_XDECREF(msg);
        if (exc != nullptr) {
            PyObject_SetAttrString(exc, "name", name.ptr());
            PyErr_SetRaisedException(exc);
        }
        raised(s.line);
    }
    if (PyUnicode_CHECK_INTERNED(name.ptr()) && g_builtins != nullptr) {
        // versions read after the lookup: it may have run code that changed them
        GlobalSlot& slot = slot_of(name.ptr());
        PyObject* old = slot.value;
        slot = {name.ptr(), g_globals, dict_version(g_globals), dict_version(g_builtins),
                Py_NewRef(v)};
        Py_XDECREF(old);
    }
    return py::reinterpret_steal<object>(v);
}

object attr(At o, handle name) { return own(PyObject_GetAttr(o.o, name.ptr()), o.line); }
object item(At o, handle key) { return own(PyObject_GetItem(o.o, key.ptr()), o.line); }
void set_item(At o, handle key, handle value) {
    if (PyObject_SetItem(o.o, key.ptr(), value.ptr()) < 0) raised(o.line);
}
bool truth(At o) {
    int r = PyObject_IsTrue(o.o);
    if (r < 0) raised(o.line);
    return r == 1;
}
bool contains(At c, handle x) {
    int r = PySequence_Contains(c.o, x.ptr());
    if (r < 0) raised(c.line);
    return r == 1;
}
Py_ssize_t length(At o) {
    Py_ssize_t n = PyObject_Size(o.o);
    if (n < 0) raised(o.line);
    return n;
}
bool has_attr(At o, handle name) {
    int r = PyObject_HasAttrWithError(o.o, name.ptr());
    if (r < 0) raised(o.line);
    return r == 1;
}
object compare(At a, handle b, int op) {
    return own(PyObject_RichCompare(a.o, b.ptr(), op), a.line);
}
object format(At o) {
    if (PyUnicode_CheckExact(o.o)) return borrow(o.o);
    return own(PyObject_Format(o.o, nullptr), o.line);
}
object str_of(At o) { return own(PyObject_Str(o.o), o.line); }
object concat(At a, handle b) { return own(PyNumber_Add(a.o, b.ptr()), a.line); }
object divide(At a, handle b) { return own(PyNumber_TrueDivide(a.o, b.ptr()), a.line); }
object repr_of(At o) { return own(PyObject_Repr(o.o), o.line); }
object int_from(long long v, Site s) { return own(PyLong_FromLongLong(v), s.line); }
object dict_get(At d, handle key) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(d.o, key.ptr(), &v) < 0) raised(d.line);
    return py::reinterpret_steal<object>(v);
}
bool exact_int_value(handle o, long long* value) {
    if (!PyLong_CheckExact(o.ptr())) return false;
    int overflow = 0;
    *value = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    return overflow == 0;
}
bool is_plain_data(handle o, int depth) {
    PyObject* p = o.ptr();
    if (p == Py_None || PyUnicode_CheckExact(p) || PyFloat_CheckExact(p) || PyBool_Check(p))
        return true;
    long long ignored = 0;
    // a huge int's str() can fail (the digit limit)
    if (PyLong_CheckExact(p)) return exact_int_value(o, &ignored);
    if (depth == 0) return false;
    if (PyList_CheckExact(p)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i)
            if (!is_plain_data(PyList_GET_ITEM(p, i), depth - 1)) return false;
        return true;
    }
    if (PyDict_CheckExact(p)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(p, &pos, &key, &value))
            if (!is_plain_data(key, depth - 1) || !is_plain_data(value, depth - 1)) return false;
        return true;
    }
    return false;
}

object new_list(Site s) { return own(PyList_New(0), s.line); }
void append(At list, handle x) {
    if (PyList_Append(list.o, x.ptr()) < 0) raised(list.line);
}
object new_set(Site s) { return own(PySet_New(nullptr), s.line); }
object set_of(At iterable) { return own(PySet_New(iterable.o), iterable.line); }
void set_add(At set, handle x) {
    if (PySet_Add(set.o, x.ptr()) < 0) raised(set.line);
}
object new_dict(Site s) { return own(PyDict_New(), s.line); }

object fstring(std::initializer_list<handle> parts, Site s) {
    object pieces = own(PyTuple_New(static_cast<Py_ssize_t>(parts.size())), s.line);
    Py_ssize_t i = 0;
    for (handle p : parts)
        PyTuple_SET_ITEM(pieces.ptr(), i++, format(At(p, s.line)).release().ptr());
    object empty = own(PyUnicode_FromStringAndSize("", 0), s.line);
    return own(PyUnicode_Join(empty.ptr(), pieces.ptr()), s.line);
}

object float_from(double v, Site s) { return own(PyFloat_FromDouble(v), s.line); }

object bytes_from(const char* data, std::size_t size, Site s) {
    return own(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)), s.line);
}

object slice_of(handle start, handle stop, handle step, Site s) {
    return own(PySlice_New(start.ptr(), stop.ptr(), step.ptr()), s.line);
}

object import_module(const char* name, Site s) { return own(PyImport_ImportModule(name), s.line); }

// ------------------------------------------------------------------ text

bool str_is_blank(handle s) {
    PyObject* p = s.ptr();
    const int kind = PyUnicode_KIND(p);
    const void* data = PyUnicode_DATA(p);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(p); i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

object str_strip_lower(handle s, Site site) {
    PyObject* p = s.ptr();
    const int kind = PyUnicode_KIND(p);
    const void* data = PyUnicode_DATA(p);
    Py_ssize_t i = 0, j = PyUnicode_GET_LENGTH(p);
    while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, j - 1))) --j;
    if (!PyUnicode_IS_ASCII(p)) {
        // str.lower's full case mapping for the rest of Unicode
        object stripped = own(PyUnicode_Substring(p, i, j), site.line);
        return own(PyObject_CallMethodNoArgs(stripped.ptr(), intern("lower")), site.line);
    }
    object out = own(PyUnicode_New(j - i, 127), site.line);
    const Py_UCS1* in = PyUnicode_1BYTE_DATA(p) + i;
    Py_UCS1* to = PyUnicode_1BYTE_DATA(out.ptr());
    for (Py_ssize_t k = 0; k < j - i; ++k) {
        const Py_UCS1 c = in[k];
        to[k] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
    }
    return out;
}

bool str_startswith(handle s, handle prefix) {
    PyObject *p = s.ptr(), *q = prefix.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(q);
    if (n > PyUnicode_GET_LENGTH(p)) return false;
    const int kp = PyUnicode_KIND(p), kq = PyUnicode_KIND(q);
    // a str is stored in the narrowest kind that holds its characters
    if (kq > kp) return false;
    if (kp == kq) return std::memcmp(PyUnicode_DATA(p), PyUnicode_DATA(q), n * kp) == 0;
    const void *dp = PyUnicode_DATA(p), *dq = PyUnicode_DATA(q);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kp, dp, i) != PyUnicode_READ(kq, dq, i)) return false;
    return true;
}

bool str_endswith(handle s, handle suffix) {
    return PyUnicode_Tailmatch(s.ptr(), suffix.ptr(), 0, PY_SSIZE_T_MAX, +1) == 1;
}

bool str_has_char(handle s, Py_UCS4 c) {
    return PyUnicode_FindChar(s.ptr(), c, 0, PY_SSIZE_T_MAX, 1) >= 0;
}

Py_ssize_t str_length(handle s) { return PyUnicode_GET_LENGTH(s.ptr()); }
Py_UCS4 str_char(handle s, Py_ssize_t i) { return PyUnicode_READ_CHAR(s.ptr(), i); }
object substring(handle s, Py_ssize_t start, Py_ssize_t end, Site site) {
    return own(PyUnicode_Substring(s.ptr(), start, end), site.line);
}

void sort(At list) {
    if (PyList_Sort(list.o) < 0) raised(list.line);
}

// ------------------------------------------------------------------ calls

object vcall(PyObject* f, PyObject* const* args, std::size_t n, PyObject* kwnames, unsigned line) {
    return own(PyObject_Vectorcall(f, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames), line);
}

object vcall_method(PyObject* name, PyObject* const* args, std::size_t n, PyObject* kwnames,
                    unsigned line) {
    return own(PyObject_VectorcallMethod(name, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames),
               line);
}

// ------------------------------------------------------------- iteration

void Iter::advance() {
    PyObject* next = PyIter_Next(it_.ptr());
    if (next == nullptr && PyErr_Occurred()) raised(line_);
    cur_ = py::reinterpret_steal<object>(next);
}

Range iterate(At o) { return Range(own(PyObject_GetIter(o.o), o.line), o.line); }

void unpack(At o, std::initializer_list<object*> targets) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(targets.size());
    PyObject* v = o.o;
    PyObject* it = PyObject_GetIter(v);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr &&
            !PySequence_Check(v))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(v)->tp_name);
        raised(o.line);
    }
    object iter = py::reinterpret_steal<object>(it);
    std::vector<object> got;
    got.reserve(targets.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyIter_Next(it);
        if (w == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)",
                             static_cast<int>(n), static_cast<int>(i));
            raised(o.line);
        }
        got.push_back(py::reinterpret_steal<object>(w));
    }
    PyObject* extra = PyIter_Next(it);
    if (extra == nullptr) {
        if (PyErr_Occurred()) raised(o.line);
        std::size_t i = 0;
        for (object* t : targets) *t = std::move(got[i++]);
        return;
    }
    Py_DECREF(extra);
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v)) {
        Py_ssize_t size = PyDict_CheckExact(v) ? PyDict_Size(v) : Py_SIZE(v);
        if (size > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)",
                         static_cast<int>(n), size);
            raised(o.line);
        }
    }
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", static_cast<int>(n));
    raised(o.line);
}

// ------------------------------------------------------------ exceptions

void raise(At value) {
    raise_return(value);
    g_returned_line = 0;  // the throw carries the line
    raised(value.line);
}

void raise_new(At type, handle message) {
    raise_new_return(type, message);
    g_returned_line = 0;  // the throw carries the line
    raised(type.line);
}

void fail_at(unsigned line, PyObject* type, const char* format_text, ...) {
    va_list va;
    va_start(va, format_text);
    PyErr_FormatV(type, format_text, va);
    va_end(va);
    raised(line);
}

bool caught(handle name, Site s) {
    object pending = py::reinterpret_steal<object>(PyErr_GetRaisedException());
    object cls;
    try {
        cls = global(name, s);
    } catch (const Raised&) {
        set_context(std::move(pending));  // the lookup's own error
        throw;
    }
    PyObject* c = cls.ptr();
    bool valid = PyExceptionClass_Check(c);
    if (!valid && PyTuple_Check(c)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c); ++i)
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(c, i));
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        set_context(std::move(pending));
        raised(s.line);
    }
    if (PyErr_GivenExceptionMatches(pending.ptr(), c)) return true;
    PyErr_SetRaisedException(pending.release().ptr());
    return false;
}

object caught_as(handle name, Site s) {
    object pending = py::reinterpret_steal<object>(PyErr_GetRaisedException());
    // caught() tests the pending exception; this reference survives its clearing
    PyErr_SetRaisedException(Py_NewRef(pending.ptr()));
    if (caught(name, s)) return pending;
    return object();
}

object with_enter(At cm, object* exit) {
    object type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(cm.o)));
    if (!has_attr(At(type, cm.line), "__enter__"_s))
        fail_at(cm.line, PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol",
                Py_TYPE(cm.o)->tp_name);
    object enter = attr(At(type, cm.line), "__enter__"_s);
    if (!has_attr(At(type, cm.line), "__exit__"_s))
        fail_at(cm.line, PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol "
                "(missed __exit__ method)",
                Py_TYPE(cm.o)->tp_name);
    *exit = attr(At(type, cm.line), "__exit__"_s);
    return call(At(enter, cm.line), handle(cm.o));
}

bool with_exit_on_error(handle cm, handle exit, unsigned line) {
    object exc = py::reinterpret_steal<object>(PyErr_GetRaisedException());
    object tb = py::reinterpret_steal<object>(PyException_GetTraceback(exc.ptr()));
    object exc_type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
    object suppress;
    try {
        suppress = call(At(exit, line), cm, exc_type, exc, tb ? handle(tb) : none());
        if (truth(At(suppress, line))) return true;
    } catch (const Raised& r) {
        chain_exception(std::move(exc), r);  // raised while handling: the body's is the context
    }
    PyErr_SetRaisedException(exc.release().ptr());
    return false;
}

void with_exit(handle cm, handle exit, unsigned line) {
    call(At(exit, line), cm, none(), none(), none());
}

bool fs_path(handle path, std::string* out, Site s) {
    PyObject* fs = PyOS_FSPath(path.ptr());
    if (fs == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raised(s.line);
        PyErr_Clear();
        return false;
    }
    object fspath = py::reinterpret_steal<object>(fs);
    object encoded = PyBytes_Check(fs) ? fspath : own(PyUnicode_EncodeFSDefault(fs), s.line);
    out->assign(PyBytes_AS_STRING(encoded.ptr()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return true;
}

void raise_os_error(const std::string& path, Site s) {
    int saved = errno;
    object name =
        own(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())),
            s.line);
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    raised(s.line);
}

void check_signals(Site s) {
    if (PyErr_CheckSignals() < 0) raised(s.line);
}

object suspend_exception() { return py::reinterpret_steal<object>(PyErr_GetRaisedException()); }

void resume_exception(object pending, const Raised& r) {
    PyErr_SetRaisedException(pending.release().ptr());
    throw r;
}

void chain_exception(object pending, const Raised& r) {
    set_context(std::move(pending));
    throw r;
}

object raise_return(At value) {
    g_returned_line = value.line;
    PyObject* v = value.o;
    if (PyExceptionClass_Check(v)) {
        PyObject* inst = PyObject_CallNoArgs(v);
        if (inst == nullptr) return object();
        if (!PyExceptionInstance_Check(inst)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", v,
                         Py_TYPE(inst)->tp_name);
            Py_DECREF(inst);
            return object();
        }
        PyErr_SetRaisedException(inst);
    } else if (PyExceptionInstance_Check(v)) {
        PyErr_SetRaisedException(Py_NewRef(v));
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return object();
}

object raise_new_return(At type, handle message) {
    PyObject* exc = PyObject_CallOneArg(type.o, message.ptr());
    if (exc == nullptr) {
        g_returned_line = type.line;
        return object();
    }
    return raise_return(At(py::reinterpret_steal<object>(exc), type.line));
}

// ------------------------------------------------------ function objects

object make_function(const Def& d, Invoker impl, std::size_t arity,
                     std::initializer_list<handle> defaults, handle closure, unsigned line) {
    if (!g_type_ready) {
        if (PyType_Ready(&FunctionType) < 0) raised(line);
        g_type_ready = true;
    }
    if (d.params.size() != arity || arity > static_cast<std::size_t>(max_params) ||
        defaults.size() > arity) {
        PyErr_Format(PyExc_SystemError, "%s: parameters do not match the body", d.name);
        raised(line);
    }
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) raised(line);
    f->vectorcall = function_vectorcall;
    f->dict = f->weakrefs = f->name = f->qualname = f->module = f->doc = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->globals = f->closure = nullptr;
    f->params = f->code = f->tb_name = f->tb_frames = nullptr;
    f->impl = impl;
    f->nparams = static_cast<int>(arity);
    f->line = line;
    f->cname = d.name;
    object fn = py::reinterpret_steal<object>(reinterpret_cast<PyObject*>(f));
    for (int i = 0; i < max_params; ++i) {
        f->exact[i] = nullptr;
        f->expected[i] = nullptr;
    }
    f->globals = Py_NewRef(g_globals);
    f->closure = Py_XNewRef(closure.ptr());
    f->name = Py_NewRef(intern(d.name));
    f->qualname =
        Py_NewRef(d.qualname ? own(PyUnicode_FromString(d.qualname), line).ptr() : f->name);
    f->doc = d.doc ? own(PyUnicode_FromString(d.doc), line).release().ptr() : Py_NewRef(Py_None);
    PyObject* modname = nullptr;
    if (PyDict_GetItemRef(g_globals, intern("__name__"), &modname) < 0) raised(line);
    f->module = modname ? modname : Py_NewRef(Py_None);
    f->tb_name =
        own(PyUnicode_FromFormat("%s.%U", g_info->full_name, f->qualname), line).release().ptr();
    f->params = own(PyTuple_New(static_cast<Py_ssize_t>(arity)), line).release().ptr();
    std::size_t i = 0;
    for (const char* p : d.params) PyTuple_SET_ITEM(f->params, i++, Py_NewRef(intern(p)));
    if (defaults.size() > 0) {
        f->defaults =
            own(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())), line).release().ptr();
        i = 0;
        for (handle h : defaults) PyTuple_SET_ITEM(f->defaults, i++, Py_NewRef(h.ptr()));
    }
    if (d.annotations.size() > 0) {
        f->annotations = own(PyDict_New(), line).release().ptr();
        for (const Annotation& a : d.annotations) {
            object text = own(PyUnicode_FromString(a.text), line);
            if (PyDict_SetItemString(f->annotations, a.name, text.ptr()) < 0) raised(line);
            for (std::size_t k = 0; k < arity; ++k) {
                if (std::strcmp(d.params.begin()[k], a.name) != 0) continue;
                if (std::strcmp(a.text, "str") == 0) {
                    f->exact[k] = &PyUnicode_Type;
                    f->expected[k] = "str";
                } else if (std::strcmp(a.text, "Dict[str, str]") == 0) {
                    f->exact[k] = &PyDict_Type;
                    f->expected[k] = "dict";
                }
            }
        }
    }
    PyObject_GC_Track(fn.ptr());
    return fn;
}

// ---------------------------------------------------------------- modules

void Module::import(const char* name, Site s) {
    object mod = own(PyImport_ImportModuleLevel(name, g_globals, nullptr, nullptr, 0), s.line);
    std::string top(name);
    top = top.substr(0, top.find('.'));
    set(top.c_str(), mod, s);
}

void Module::import_from(const char* module, std::initializer_list<const char*> names, Site s) {
    object fromlist = own(PyList_New(0), s.line);
    for (const char* n : names)
        if (PyList_Append(fromlist.ptr(), intern(n)) < 0) raised(s.line);
    object mod =
        own(PyImport_ImportModuleLevel(module, g_globals, nullptr, fromlist.ptr(), 0), s.line);
    for (const char* n : names) {
        PyObject* v = nullptr;
        if (PyObject_GetOptionalAttr(mod.ptr(), intern(n), &v) < 0) raised(s.line);
        if (v == nullptr) {
            PyObject* file = nullptr;
            if (PyObject_GetOptionalAttrString(mod.ptr(), "__file__", &file) < 0) PyErr_Clear();
            object modname = own(PyUnicode_FromString(module), s.line);
            object msg =
                own(file ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", n, module,
                                                file)
                         : PyUnicode_FromFormat(
                               "cannot import name '%s' from '%s' (unknown location)", n, module),
                    s.line);
            PyErr_SetImportError(msg.ptr(), modname.ptr(), file);
            Py_XDECREF(file);
            raised(s.line);
        }
        set(n, py::reinterpret_steal<object>(v), s);
    }
}

void Module::set(const char* name, handle value, Site s) {
    if (PyDict_SetItem(g_globals, intern(name), value.ptr()) < 0) raised(s.line);
}

object Module::get(const char* name, Site s) { return global(intern(name), s); }

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    // Module-level names live in process-wide statics, so one interpreter only.
    static int64_t main_interpreter = -1;
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (main_interpreter == -1) {
        main_interpreter = current;
    } else if (main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* m = PyModule_NewObject(name);
    Py_DECREF(name);
    return m;
}

int exec_module(PyObject* module, const ModuleInfo& info) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;  // reload of the same object: nothing to redo
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     info.short_name);
        return -1;
    }
    g_info = &info;
    if (g_filename == nullptr) {
        g_filename = PyUnicode_FromFormat("zelkor_installer/utils/%s", info.short_name);
        if (g_filename == nullptr) return -1;
    }
    if (g_builtins == nullptr) {
        PyObject* b = PyImport_ImportModule("builtins");
        if (b == nullptr) return -1;
        g_builtins = Py_NewRef(PyModule_GetDict(b));
        Py_DECREF(b);
    }
    g_module = Py_NewRef(module);  // kept: the module is executed once per process
    g_globals = PyModule_GetDict(module);
    unsigned line = __LINE__;
    try {
        const unsigned compiled = static_cast<unsigned>(PY_VERSION_HEX) >> 16U;
        const unsigned running = static_cast<unsigned>(Py_Version) >> 16U;
        if (compiled != running) {
            line = __LINE__;
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s "
                                 "runtime version %d.%d",
                                 static_cast<int>(compiled >> 8U),
                                 static_cast<int>(compiled & 0xFFU), info.full_name,
                                 "does not match", static_cast<int>(running >> 8U),
                                 static_cast<int>(running & 0xFFU)) < 0)
                raised(line);
        }
        Module m(module);
        info.body(m);
        return 0;
    } catch (...) {
        line = pending_from_current(line);
    }
    // A failed body leaves nothing behind, so a later import can try again.
    PyObject* tb_name = PyUnicode_FromFormat("init %s", info.full_name);
    if (tb_name != nullptr) {
        add_traceback(tb_name, line, &g_init_frames);
        Py_DECREF(tb_name);
    }
    Py_CLEAR(g_module);
    g_globals = nullptr;
    return -1;
}

}  // namespace zf
