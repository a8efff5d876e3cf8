// Module initialisation: the multi-phase entry points, the one-interpreter
// and no-re-initialisation rules, the version warning, and the module body's
// own statements (imports, bindings, definitions).
#include <string>

#include "internal.hpp"

namespace zf {

namespace detail {
ModuleState state;
}  // namespace detail

using detail::state;

namespace {
detail::FrameCache g_init_frames{};
}  // namespace

void Module::import(const char* name, Site s) {
    object mod = own(PyImport_ImportModuleLevel(name, state.globals, nullptr, nullptr, 0), s.line);
    std::string top(name);
    top = top.substr(0, top.find('.'));
    set(top.c_str(), mod, s);
}

void Module::import_from(const char* module, std::initializer_list<const char*> names, Site s) {
    object fromlist = own(PyList_New(0), s.line);
    for (const char* n : names)
        if (PyList_Append(fromlist.ptr(), intern(n)) < 0) raised(s.line);
    object mod =
        own(PyImport_ImportModuleLevel(module, state.globals, nullptr, fromlist.ptr(), 0), s.line);
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
        set(n, steal(v), s);
    }
}

void Module::set(const char* name, handle value, Site s) {
    if (PyDict_SetItem(state.globals, intern(name), value.ptr()) < 0) raised(s.line);
}

object Module::get(const char* name, Site s) { return global(handle(intern(name)), s); }

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    // Module-level names live in the module's statics, so one interpreter only.
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

namespace {

void warn_on_version_change(const ModuleInfo& info, unsigned line) {
    const unsigned compiled = static_cast<unsigned>(PY_VERSION_HEX) >> 16U;
    const unsigned running = static_cast<unsigned>(Py_Version) >> 16U;
    if (compiled == running) return;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s "
                         "runtime version %d.%d",
                         static_cast<int>(compiled >> 8U), static_cast<int>(compiled & 0xFFU),
                         info.full_name, "does not match", static_cast<int>(running >> 8U),
                         static_cast<int>(running & 0xFFU)) < 0)
        raised(line);
}

}  // namespace

int exec_module(PyObject* module, const ModuleInfo& info) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;  // reload of the same object: nothing to redo
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     info.short_name);
        return -1;
    }
    state.info = &info;
    if (state.filename == nullptr) {
        state.filename = PyUnicode_FromFormat("zelkor_installer/utils/%s", info.short_name);
        if (state.filename == nullptr) return -1;
    }
    if (state.builtins == nullptr) {
        PyObject* b = PyImport_ImportModule("builtins");
        if (b == nullptr) return -1;
        state.builtins = Py_NewRef(PyModule_GetDict(b));
        Py_DECREF(b);
    }
    state.module = Py_NewRef(module);  // kept: the module is executed once per process
    state.globals = PyModule_GetDict(module);
    unsigned line = __LINE__;
    try {
        warn_on_version_change(info, line);
        Module m(module);
        info.body(m);
        return 0;
    } catch (const Raised& r) {
        line = r.line;
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    } catch (...) {
        line = to_raised(line).line;
    }
    // A failed body leaves nothing behind, so a later import can try again.
    PyObject* tb_name = PyUnicode_FromFormat("init %s", info.full_name);
    if (tb_name != nullptr) {
        detail::add_traceback(tb_name, line, &g_init_frames);
        Py_DECREF(tb_name);
    }
    Py_CLEAR(state.module);
    state.globals = nullptr;
    return -1;
}

}  // namespace zf
