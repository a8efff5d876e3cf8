// The native function object: a heap type whose instances carry what a
// Python function carries (__name__, __qualname__, __module__, __doc__,
// __defaults__, __kwdefaults__, __annotations__, __dict__, a parameter-only
// __code__), are called by vectorcall, bind as methods and pickle by name.
#include <cstring>

#include "internal.hpp"

namespace zf::detail {

namespace {

// A call runs its body with the bound arguments; a failure gets the traceback
// entry naming the line that detected it.
PyObject* run_body(Function* f, PyObject* const* argv) {
    if (f->typed && !check_exact_types(f, argv)) return nullptr;
    unsigned line = 0;
    PyObject* result = f->impl(f->closure, argv, &line);
    if (result != nullptr) return result;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    add_traceback(f->tb_name, line != 0 ? line : f->line, &f->frames);
    return nullptr;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
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
    return visit_frames(&f->frames, visit, arg);
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
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
    clear_frames(&f->frames);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);  // a heap type's instances hold it
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// pickle and copy store a function by reference to its qualified name
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

// ------------------------------------------------------------ attributes

int set_str(PyObject** field, PyObject* v, const char* what) {
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(v));
    return 0;
}

// None clears the field, as for a Python function
template <int (*Check)(PyObject*)>
int set_optional(PyObject** field, PyObject* v, const char* what, const char* type) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, type);
        return -1;
    }
    Py_XSETREF(*field, Py_XNewRef(v));
    return 0;
}
int tuple_check(PyObject* o) { return PyTuple_Check(o); }
int dict_check(PyObject* o) { return PyDict_Check(o); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str(&as_function(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str(&as_function(self)->qualname, v, "__qualname__");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    return set_optional<tuple_check>(&as_function(self)->defaults, v, "__defaults__", "tuple");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    return set_optional<dict_check>(&as_function(self)->kwdefaults, v, "__kwdefaults__", "dict");
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    return set_optional<dict_check>(&as_function(self)->annotations, v, "__annotations__", "dict");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

// A code object that describes the parameters, so that inspect.signature()
// and help() show them as they show a Python function's.
PyObject* get_code(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->code != nullptr) return Py_NewRef(f->code);
    const char* file = state.filename ? PyUnicode_AsUTF8(state.filename) : "";
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

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// No type docstring: a heap type's would shadow the instances' __doc__.
PyType_Slot function_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
                                {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
                                {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                                {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
                                {Py_tp_methods, function_methods},
                                {Py_tp_members, function_members},
                                {Py_tp_getset, function_getset},
                                {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
                                {0, nullptr}};

PyType_Spec function_spec = {"zelkor_installer.function", sizeof(Function), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             function_slots};

}  // namespace

namespace {

// Keywords, defaults or a wrong count: the binding first. Kept out of the
// call's fast path, which then needs no frame of its own.
[[gnu::noinline]] PyObject* bind_and_run(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    PyObject* values[max_params];
    // the body may replace __defaults__; the bound defaults must outlive the call
    object defaults = borrow(f->defaults);
    if (!bind(f, args, nargs, kwnames, defaults.ptr(), values)) return nullptr;
    return run_body(f, values);
}

}  // namespace

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->nparams) return run_body(f, args);
    return bind_and_run(f, args, nargs, kwnames);
}

PyTypeObject* function_type(unsigned line) {
    if (state.function_type == nullptr) {
        PyObject* t = PyType_FromSpec(&function_spec);
        if (t == nullptr) raised(line);
        state.function_type = reinterpret_cast<PyTypeObject*>(t);  // kept for the process
    }
    return state.function_type;
}

object make_function(const FunctionSpec& d) {
    const unsigned line = d.line;
    PyTypeObject* type = function_type(line);
    Function* f = PyObject_GC_New(Function, type);
    if (f == nullptr) raised(line);
    f->vectorcall = function_vectorcall;
    f->dict = f->weakrefs = f->name = f->qualname = f->module = f->doc = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->globals = f->closure = nullptr;
    f->params = f->code = f->tb_name = nullptr;
    f->frames = {};
    f->impl = d.impl;
    f->nparams = static_cast<int>(d.nparams);
    f->typed = false;
    f->line = line;
    f->cname = d.name;
    for (PyTypeObject*& t : f->exact) t = nullptr;
    object fn = steal(reinterpret_cast<PyObject*>(f));
    f->globals = Py_NewRef(state.globals);
    f->closure = Py_XNewRef(d.closure);
    f->name = Py_NewRef(intern(d.name));
    f->qualname =
        Py_NewRef(d.qualname ? own(PyUnicode_FromString(d.qualname), line).ptr() : f->name);
    f->doc = d.doc ? own(PyUnicode_FromString(d.doc), line).release().ptr() : Py_NewRef(Py_None);
    PyObject* modname = nullptr;
    if (PyDict_GetItemRef(state.globals, "__name__"_s.ptr(), &modname) < 0) raised(line);
    f->module = modname ? modname : Py_NewRef(Py_None);
    f->tb_name = own(PyUnicode_FromFormat("%s.%U", state.info->full_name, f->qualname), line)
                     .release()
                     .ptr();
    f->params = own(PyTuple_New(static_cast<Py_ssize_t>(d.nparams)), line).release().ptr();
    for (std::size_t i = 0; i < d.nparams; ++i)
        PyTuple_SET_ITEM(f->params, i, Py_NewRef(intern(d.params[i])));
    if (d.ndefaults > 0) {
        f->defaults = own(PyTuple_New(static_cast<Py_ssize_t>(d.ndefaults)), line).release().ptr();
        for (std::size_t i = 0; i < d.ndefaults; ++i)
            PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(d.defaults[i].ptr()));
    }
    if (d.nannotations > 0) {
        f->annotations = own(PyDict_New(), line).release().ptr();
        for (std::size_t k = 0; k < d.nannotations; ++k) {
            const Annotation& a = d.annotations[k];
            object text = own(PyUnicode_FromString(a.text), line);
            if (PyDict_SetItemString(f->annotations, a.param, text.ptr()) < 0) raised(line);
            if (a.exactly == Exactly::any) continue;
            bool found = false;
            for (std::size_t i = 0; i < d.nparams; ++i) {
                if (std::strcmp(d.params[i], a.param) != 0) continue;
                f->exact[i] = a.exactly == Exactly::str ? &PyUnicode_Type : &PyDict_Type;
                f->typed = found = true;
            }
            if (!found) {
                PyErr_Format(PyExc_SystemError, "%s: no parameter '%s' to type", d.name, a.param);
                raised(line);
            }
        }
    }
    PyObject_GC_Track(fn.ptr());
    return fn;
}

}  // namespace zf::detail
