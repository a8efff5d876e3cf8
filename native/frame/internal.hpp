// What the frame's rooms share among themselves; module code never sees it.
//
// Each extension module links its own copy of the frame, so the state below
// belongs to one module: a module is executed once per process (a second
// module object is refused), which makes it that module's only state.
#pragma once

#include "zf.hpp"

namespace zf::detail {

struct ModuleState {
    PyObject* module = nullptr;    // the one executed module object, kept for the process
    PyObject* globals = nullptr;   // its namespace (borrowed from module)
    PyObject* builtins = nullptr;  // builtins' namespace, kept for the process
    PyObject* filename = nullptr;  // "zelkor_installer/utils/<module>"
    const ModuleInfo* info = nullptr;
    PyTypeObject* function_type = nullptr;  // made at the first definition, kept
};
extern ModuleState state;

// Every change to a dict gives it a new version from a process-wide counter,
// so a value found while a dict had the version seen now is still its value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline std::uint64_t dict_version(PyObject* d) {
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
#pragma GCC diagnostic pop

// The traceback frames of one function, by the line they name: a frame that
// no code runs in never changes, and making one costs more than the rest of
// a failing call.
struct FrameCache {
    static constexpr int size = 6;
    unsigned lines[size];
    PyObject* frames[size];
    int next;
};
void clear_frames(FrameCache* cache);
int visit_frames(FrameCache* cache, visitproc visit, void* arg);

// Adds the entry `funcname` at `line` of the module's file to the pending
// exception's traceback, as the interpreter does for a Python frame.
void add_traceback(PyObject* funcname, unsigned line, FrameCache* cache);

// The pending exception gets `interrupted` as its __context__, as an
// exception raised while another is handled does (never itself).
void set_context(object interrupted);

// A native function object.
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
    PyObject* params;   // tuple of interned parameter names
    PyObject* code;     // __code__, made on first use
    PyObject* tb_name;  // "<module>.<qualname>" for traceback entries
    FrameCache frames;
    Invoker impl;
    int nparams;
    bool typed;  // some parameter accepts one built-in type exactly
    unsigned line;
    const char* cname;  // the name as given at definition, for error texts
    // the built-in type each parameter accepts exactly, if any
    PyTypeObject* exact[max_params];
};

inline Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// Binds a call's arguments to the parameters, as the interpreter does and in
// its words; false with the exception set and the traceback entry added.
bool bind(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* defaults, PyObject** values);
// The exact-type checks of the parameters of a typed function; false as bind.
bool check_exact_types(Function* f, PyObject* const* values);
// A binding failure: the traceback entry at the function's definition.
PyObject* fail_binding(Function* f);

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);
PyTypeObject* function_type(unsigned line);

}  // namespace zf::detail
