// Names looked up when a function runs, as Python looks them up: module-level
// names, attributes of modules, methods, and imports inside a function. Each
// literal name keeps what it found with the versions of the dicts and types
// it was found in, and a later lookup costs a few comparisons while they hold.
#include <cstring>

#include "internal.hpp"

namespace zf {

using detail::dict_version;
using detail::NameCache;
using detail::state;

namespace {

void keep(PyObject** slot, PyObject* value) {
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_XDECREF(old);
}

// The module's namespace, then the builtins: a new reference, or null with
// NameError set.
PyObject* lookup_global(PyObject* name, unsigned line) {
    if (state.globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "module is not initialised");
        raised(line);
    }
    PyObject* v = nullptr;
    int r = PyDict_GetItemRef(state.globals, name, &v);
    if (r == 0 && state.builtins != nullptr) r = PyDict_GetItemRef(state.builtins, name, &v);
    if (r < 0) raised(line);
    if (r == 0) {
        object msg = own(PyUnicode_FromFormat("name '%U' is not defined", name), line);
        PyObject* exc = PyObject_CallOneArg(PyExc_NameError, msg.ptr());
        if (exc != nullptr) {
            if (PyObject_SetAttrString(exc, "name", name) < 0) PyErr_Clear();
            PyErr_SetRaisedException(exc);
        }
        raised(line);
    }
    return v;
}

// Whether `name` names an attribute of the module type itself (such as
// __dict__): those are not the module dict's to answer.
bool module_type_attribute(PyObject* name) {
    return _PyType_Lookup(&PyModule_Type, name) != nullptr;
}

}  // namespace

object global(Name name, Site s) {
    NameCache* c = name.cache();
    if (c->global_value != nullptr && c->globals_version == dict_version(state.globals) &&
        c->builtins_version == dict_version(state.builtins))
        return borrow(c->global_value);
    object v = steal(lookup_global(name.ptr(), s.line));
    // versions read after the lookup: it may have run code that changed them
    keep(&c->global_value, v.ptr());
    c->globals_version = dict_version(state.globals);
    c->builtins_version = dict_version(state.builtins);
    return v;
}

object global(handle name, Site s) { return steal(lookup_global(name.ptr(), s.line)); }

object attr(At o, Name name) {
    if (Py_IS_TYPE(o.o, &PyModule_Type)) {
        // a module's attribute is its dict's entry, unless the module type
        // has the name or a module __getattr__ answers it
        PyObject* dict = PyModule_GetDict(o.o);
        NameCache* c = name.cache();
        if (c->module_value != nullptr && c->module_dict == dict &&
            c->module_version == dict_version(dict))
            return borrow(c->module_value);
        object v = own(PyObject_GetAttr(o.o, name.ptr()), o.line);
        if (!module_type_attribute(name.ptr())) {
            PyObject* entry = nullptr;
            if (PyDict_GetItemRef(dict, name.ptr(), &entry) < 0) raised(o.line);
            if (entry == v.ptr()) {
                keep(&c->module_value, entry);
                c->module_dict = dict;
                c->module_version = dict_version(dict);
            }
            Py_XDECREF(entry);
        }
        return v;
    }
    return own(PyObject_GetAttr(o.o, name.ptr()), o.line);
}

object attr(At o, handle name) { return own(PyObject_GetAttr(o.o, name.ptr()), o.line); }

namespace detail {

object vcall_method(PyObject* self, Name name, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, unsigned line) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == &PyModule_Type) {
        object f = attr(At(self, line), name);
        return vcall(f.ptr(), args + 1,
                     static_cast<std::size_t>(PyVectorcall_NARGS(nargsf) - 1) |
                         PY_VECTORCALL_ARGUMENTS_OFFSET,
                     kwnames, line);
    }
    NameCache* c = name.cache();
    if (c->type != tp || c->type_version == 0 || tp->tp_version_tag != c->type_version) {
        // A method found on a type with Python's generic attribute lookup,
        // that an instance dict at a fixed place could shadow, is remembered
        // with the type's version tag: any change to the type clears the tag.
        c->type = nullptr;
        if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset >= 0 &&
            !PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT) &&
            PyUnstable_Type_AssignVersionTag(tp)) {
            PyObject* found = _PyType_Lookup(tp, name.ptr());
            if (found != nullptr &&
                PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
                c->type = tp;
                c->type_version = tp->tp_version_tag;
                c->dict_offset = tp->tp_dictoffset;
                c->method = found;
            }
        }
    }
    if (c->type == tp) {
        bool shadowed = false;
        if (c->dict_offset > 0) {
            PyObject* dict =
                *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + c->dict_offset);
            if (dict != nullptr) {
                int r = PyDict_Contains(dict, name.ptr());
                if (r < 0) raised(line);
                shadowed = r == 1;
            }
        }
        if (!shadowed) return vcall(c->method, args, nargsf, kwnames, line);
    }
    return own(PyObject_VectorcallMethod(name.ptr(), args, nargsf, kwnames), line);
}

object vcall_method(PyObject*, PyObject* name, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, unsigned line) {
    return own(PyObject_VectorcallMethod(name, args, nargsf, kwnames), line);
}

}  // namespace detail

namespace {

// Whether builtins.__import__ is still the interpreter's own: then an
// import of a module that sys.modules holds is that module.
bool import_is_builtin() {
    PyObject* f = nullptr;
    if (PyDict_GetItemRef(state.builtins, "__import__"_s.ptr(), &f) <= 0) {
        PyErr_Clear();
        return false;
    }
    object held = steal(f);
    if (!PyCFunction_Check(f)) return false;
    PyObject* self = PyCFunction_GET_SELF(f);
    return self != nullptr && PyModule_Check(self) && PyModule_GetDict(self) == state.builtins &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, "__import__") == 0;
}

}  // namespace

object import_module(Name name, Site s) {
    NameCache* c = name.cache();
    PyObject* modules = PyImport_GetModuleDict();
    if (c->imported != nullptr && c->modules_dict == modules &&
        c->modules_version == dict_version(modules) &&
        c->import_builtins_version == dict_version(state.builtins))
        return borrow(c->imported);
    if (!import_is_builtin()) return own(PyImport_Import(name.ptr()), s.line);
    object module = steal(PyImport_GetModule(name.ptr()));
    if (!module) {
        if (PyErr_Occurred()) raised(s.line);
        own(PyImport_ImportModuleLevelObject(name.ptr(), state.globals, nullptr, nullptr, 0),
            s.line);
        module = steal(PyImport_GetModule(name.ptr()));
        if (!module) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name.ptr());
            raised(s.line);
        }
    }
    if (module.ptr() == Py_None) return own(PyImport_Import(name.ptr()), s.line);
    keep(&c->imported, module.ptr());
    c->modules_dict = modules;
    c->modules_version = dict_version(modules);
    c->import_builtins_version = dict_version(state.builtins);
    return module;
}

}  // namespace zf
