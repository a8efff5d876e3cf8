// The module frame: the small runtime that every extension module of the
// package stands on.  It owns all knowledge of the C API: function objects
// with Python's calling conventions, argument binding, module initialisation,
// traceback entries and the lookup of module-level names.  A module's source
// only says what its functions do, in the order they do it.
//
// Error model: a helper that sees a Python exception leaves it set and throws
// `Raised` carrying the source line of the call site (captured through
// std::source_location), so the frame can add the traceback entry that names
// the line where the failure was detected.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>

namespace zf {

namespace py = pybind11;
using py::handle;
using py::object;

// ---------------------------------------------------------------- errors

// A Python exception is set; `line` is where the module's source detected it.
struct Raised {
    unsigned line;
};

// The call site of a helper, captured without the caller writing it.
struct Site {
    unsigned line;
    Site(std::source_location l = std::source_location::current()) : line(l.line()) {}
};

// An operand together with the call site that uses it: lets variadic helpers
// learn their caller's line through an implicit conversion of the first argument.
struct At {
    PyObject* o;
    unsigned line;
    At(handle h, std::source_location l = std::source_location::current())
        : o(h.ptr()), line(l.line()) {}
    At(PyObject* p, std::source_location l = std::source_location::current())
        : o(p), line(l.line()) {}
    At(handle h, unsigned line) : o(h.ptr()), line(line) {}
};

[[noreturn]] inline void raised(unsigned line) { throw Raised{line}; }

// Take ownership of a new reference; a null result means an exception is set.
inline object own(PyObject* p, unsigned line) {
    if (p == nullptr) raised(line);
    return py::reinterpret_steal<object>(p);
}
inline object own(PyObject* p, Site s = {}) { return own(p, s.line); }
inline object borrow(PyObject* p) { return py::reinterpret_borrow<object>(p); }

// -------------------------------------------------------------- literals

template <std::size_t N>
struct Lit {
    char s[N];
    constexpr Lit(const char (&a)[N]) { std::copy_n(a, N, s); }
};

PyObject* intern(const char* utf8);

namespace literals {
// "text"_s: an interned str made once per process and kept for its lifetime.
template <Lit L>
handle operator""_s() {
    static PyObject* const s = intern(L.s);
    return s;
}
}  // namespace literals
using namespace literals;

// A small int constant, made once.
template <long long V>
handle num() {
    static PyObject* const n = PyLong_FromLongLong(V);
    return n;
}

inline handle none() { return Py_None; }
inline handle truth_value(bool b) { return b ? Py_True : Py_False; }

// ------------------------------------------------------ names and objects

// The module's namespace, then the builtins, at every call.
object global(handle name, Site s = {});

object attr(At o, handle name);
object item(At o, handle key);
void set_item(At o, handle key, handle value);
bool truth(At o);
bool contains(At container, handle x);  // x in container
Py_ssize_t length(At o);
bool has_attr(At o, handle name);
object compare(At a, handle b, int op);  // a <op> b, the rich comparison result
object format(At o);                     // as an f-string renders a value
object str_of(At o);                     // str(o)
object concat(At a, handle b);           // a + b
object divide(At a, handle b);           // a / b (a path joined with a name)
object repr_of(At o);                    // repr(o)
object int_from(long long v, Site s = {});
// d.get(key) of a dict: the value, or an empty object when key is absent
object dict_get(At d, handle key);
// The value of an exact int that fits in a long long, for fast matching.
bool exact_int_value(handle o, long long* value);
// Whether str() of o is a pure function of its value that cannot fail: None,
// bool, exact str, float and small int, and exact lists and dicts of them
// (what JSON decodes to), nested at most `depth` deep.
bool is_plain_data(handle o, int depth = 16);

inline bool is_none(handle o) { return o.ptr() == Py_None; }
inline const char* type_name(handle o) { return Py_TYPE(o.ptr())->tp_name; }
inline bool is_str(handle o) { return PyUnicode_Check(o.ptr()); }
inline bool is_exact_str(handle o) { return PyUnicode_CheckExact(o.ptr()); }
inline bool is_bytes(handle o) { return PyBytes_Check(o.ptr()); }
inline bool is_int(handle o) { return PyLong_Check(o.ptr()); }
inline bool is_float(handle o) { return PyFloat_Check(o.ptr()); }
inline bool is_list_or_tuple(handle o) { return PyList_Check(o.ptr()) || PyTuple_Check(o.ptr()); }
inline bool is_dict(handle o) { return PyDict_Check(o.ptr()); }

object new_list(Site s = {});
void append(At list, handle x);
object new_set(Site s = {});
object set_of(At iterable);  // set(iterable)
void set_add(At set, handle x);
object new_dict(Site s = {});

// tuple of the given items
template <class... A>
object tuple_of(Site s, A&&... a) {
    PyObject* items[] = {handle(a).ptr()...};
    PyObject* t = PyTuple_New(sizeof...(A));
    if (t == nullptr) raised(s.line);
    for (std::size_t i = 0; i < sizeof...(A); ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(items[i]));
    return py::reinterpret_steal<object>(t);
}

// An f-string: every part formatted with an empty format specification (a
// str stands as it is), all concatenated.
object fstring(std::initializer_list<handle> parts, Site s = {});

object float_from(double v, Site s = {});
object bytes_from(const char* data, std::size_t size, Site s = {});
// the slice object of a subscript o[start:stop:step] (None for an omitted part)
object slice_of(handle start, handle stop, handle step, Site s = {});
// `import name` run inside a function: sys.modules first, else a fresh import
object import_module(const char* name, Site s = {});

// ------------------------------------------------------------------ text

// What str's own methods give for an exact str, computed without calling
// them: they run no Python code, so the result is the same.
bool str_is_blank(handle s);                       // s.strip() == ""
object str_strip_lower(handle s, Site site = {});  // s.strip().lower()
bool str_startswith(handle s, handle prefix);      // s.startswith(prefix), prefix an exact str
bool str_endswith(handle s, handle suffix);        // s.endswith(suffix), suffix an exact str
bool str_has_char(handle s, Py_UCS4 c);            // c in s
Py_ssize_t str_length(handle s);
Py_UCS4 str_char(handle s, Py_ssize_t i);
object substring(handle s, Py_ssize_t start, Py_ssize_t end, Site site = {});  // s[start:end]

// list, tuple, dict, str, bytes, set or frozenset exactly: sized, and asking
// them for __len__ runs no Python code
inline bool is_exact_builtin_container(handle o) {
    PyObject* p = o.ptr();
    return PyList_CheckExact(p) || PyTuple_CheckExact(p) || PyDict_CheckExact(p) ||
           PyUnicode_CheckExact(p) || PyBytes_CheckExact(p) || PyAnySet_CheckExact(p);
}
inline bool is_exact_list_or_tuple(handle o) {
    return PyList_CheckExact(o.ptr()) || PyTuple_CheckExact(o.ptr());
}
void sort(At list);  // list.sort() of a list

// ------------------------------------------------------------------ calls

// A keyword argument of a call.
struct Kw {
    handle name;
    handle value;
};

object vcall(PyObject* f, PyObject* const* args, std::size_t n, PyObject* kwnames, unsigned line);
object vcall_method(PyObject* name, PyObject* const* args, std::size_t n, PyObject* kwnames,
                    unsigned line);

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same_v<std::decay_t<T>, Kw>;

template <class... A>
object call_with(PyObject* first, PyObject* method_name, unsigned line, A&&... a) {
    constexpr std::size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    constexpr std::size_t n = sizeof...(A);
    PyObject* stack[n + 2];
    stack[0] = nullptr;
    stack[1] = first;
    std::size_t pos = 2, kwpos = 0;
    PyObject* kwvals[nkw + 1];
    PyObject* kwnames_items[nkw + 1];
    [[maybe_unused]] auto put = [&](auto&& x) {
        if constexpr (is_kw<decltype(x)>) {
            kwnames_items[kwpos] = x.name.ptr();
            kwvals[kwpos++] = x.value.ptr();
        } else {
            stack[pos++] = handle(x).ptr();
        }
    };
    (put(std::forward<A>(a)), ...);
    object kwnames;
    if constexpr (nkw > 0) {
        PyObject* t = PyTuple_New(nkw);
        if (t == nullptr) raised(line);
        kwnames = py::reinterpret_steal<object>(t);
        for (std::size_t i = 0; i < nkw; ++i) {
            PyTuple_SET_ITEM(t, i, Py_NewRef(kwnames_items[i]));
            stack[pos++] = kwvals[i];
        }
    }
    std::size_t npos = n - nkw;
    if (method_name != nullptr)
        return vcall_method(method_name, stack + 1, npos + 1, kwnames.ptr(), line);
    return vcall(first, stack + 2, npos, kwnames.ptr(), line);
}
}  // namespace detail

// f(args...), with Kw{...} items passed as keywords
template <class... A>
object call(At f, A&&... a) {
    return detail::call_with(f.o, nullptr, f.line, std::forward<A>(a)...);
}

// o.name(args...)
template <class... A>
object method(At o, handle name, A&&... a) {
    return detail::call_with(o.o, name.ptr(), o.line, std::forward<A>(a)...);
}

// f(args...) where a failure is an expected outcome that the caller's
// `except` clause takes: an empty object instead of a thrown Raised (which
// costs a microsecond to unwind), the exception pending.
template <class... A>
object try_call(handle f, A&&... a) {
    PyObject* args[] = {nullptr, handle(a).ptr()...};
    return py::reinterpret_steal<object>(PyObject_Vectorcall(
        f.ptr(), args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// a <op> b, an empty object on failure (see try_call)
inline object try_compare(handle a, handle b, int op) {
    return py::reinterpret_steal<object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
// Throws for the exception that a try_call left pending when no clause took it.
[[noreturn]] inline void rethrow(Site s = {}) { raised(s.line); }

// ------------------------------------------------------------- iteration

class Iter {
 public:
    Iter(object it, unsigned line) : it_(std::move(it)), line_(line) { advance(); }
    Iter() = default;
    object operator*() const { return cur_; }
    Iter& operator++() {
        advance();
        return *this;
    }
    bool operator!=(const Iter&) const { return cur_.ptr() != nullptr; }

 private:
    void advance();
    object it_, cur_;
    unsigned line_ = 0;
};

class Range {
 public:
    Range(object it, unsigned line) : it_(std::move(it)), line_(line) {}
    Iter begin() { return Iter(it_, line_); }
    Iter end() { return Iter(); }

 private:
    object it_;
    unsigned line_;
};

// for (object x : iterate(o)) walks iter(o), raising what the iterator raises
Range iterate(At o);

// a, b, ... = o: stores exactly as many items as there are targets, raising
// the interpreter's unpacking errors otherwise; no target changes on failure.
void unpack(At o, std::initializer_list<object*> targets);

// ------------------------------------------------------------ exceptions

// raise value: an exception class is instantiated, an instance raised as is.
[[noreturn]] void raise(At value);
// raise type(message)
[[noreturn]] void raise_new(At type, handle message);
// raise a built-in exception with a message formatted as PyErr_Format does
[[noreturn]] void fail_at(unsigned line, PyObject* type, const char* format, ...);
template <class... A>
[[noreturn]] void fail(At type, const char* format, A... a) {
    fail_at(type.line, type.o, format, a...);
}

// An `except NAME:` clause: NAME is looked up as a module-level name when an
// exception reaches the clause; when the pending exception matches it, the
// exception is cleared and true returned, otherwise it stays pending.
bool caught(handle name, Site s = {});
// `except NAME as e:`: the exception object when the pending exception
// matches NAME (it is then cleared), otherwise an empty object and the
// exception stays pending.
object caught_as(handle name, Site s = {});
// `raise value` as a body's last step, without unwinding (a C++ throw costs
// microseconds): the exception is set and an empty object returned, which the
// body returns as it is; the frame then adds the traceback entry for the line
// of this call.  For functions whose usual outcome is an exception.
object raise_return(At value);
// raise type(message), likewise
object raise_new_return(At type, handle message);

// Python's try/finally: `cleanup` runs however `body` ends.  An exception of
// `cleanup` replaces the pending one, which becomes its __context__.
object suspend_exception();                                           // takes the pending one
[[noreturn]] void resume_exception(object pending, const Raised& r);  // sets it again, rethrows
[[noreturn]] void chain_exception(object pending, const Raised& r);   // cleanup's own failure
template <class Body, class Cleanup>
object try_finally(Body&& body, Cleanup&& cleanup) {
    object result;
    try {
        result = body();
    } catch (const Raised& r) {
        object pending = suspend_exception();
        try {
            cleanup();
        } catch (const Raised& r2) {
            chain_exception(std::move(pending), r2);
        }
        resume_exception(std::move(pending), r);
    }
    cleanup();
    return result;
}

// ------------------------------------------------------------ statements

// `with cm as value: body(value)`: __enter__ and __exit__ looked up on the
// type, __exit__ told of an exception and allowed to suppress it.
object with_enter(At cm, object* exit);
bool with_exit_on_error(handle cm, handle exit, unsigned line);  // true: suppressed
void with_exit(handle cm, handle exit, unsigned line);
template <class Body>
void with_block(At cm, Body&& body) {
    object manager = borrow(cm.o);
    object exit;
    object value = with_enter(cm, &exit);
    try {
        body(handle(value));
    } catch (const Raised&) {
        if (with_exit_on_error(manager, exit, cm.line)) return;
        throw;
    }
    with_exit(manager, exit, cm.line);
}

// ------------------------------------------------------- operating system

// The bytes of a file-system path (os.fspath, encoded), or false when `path`
// is no path-like object.
bool fs_path(handle path, std::string* out, Site s = {});
// OSError from errno, naming the path
[[noreturn]] void raise_os_error(const std::string& path, Site s = {});
// Runs `fn` with the interpreter released, for a call that may block.
template <class Fn>
auto without_interpreter(Fn&& fn) {
    PyThreadState* saved = PyEval_SaveThread();
    auto result = fn();
    PyEval_RestoreThread(saved);
    return result;
}
// Runs the handlers of signals that arrived; throws what a handler raised.
void check_signals(Site s = {});

// ------------------------------------------------------ function objects

// A native function's body takes its bound arguments as handles, optionally
// preceded by the closure value it was made with.
struct Closure {
    handle value;
};

using Invoker = PyObject* (*)(PyObject* closure, PyObject* const* args);

namespace detail {
template <class F>
struct arity;
template <class R, class... A>
struct arity<R (*)(A...)> {
    static constexpr bool closure = [] {
        if constexpr (sizeof...(A) == 0)
            return false;
        else
            return std::is_same_v<std::tuple_element_t<0, std::tuple<A...>>, Closure>;
    }();
    static constexpr std::size_t value = sizeof...(A) - (closure ? 1 : 0);
};

template <auto F>
PyObject* invoke(PyObject* closure, PyObject* const* args) {
    using Ar = arity<decltype(F)>;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (Ar::closure)
            return F(Closure{closure}, handle(args[I])...).release().ptr();
        else
            return F(handle(args[I])...).release().ptr();
    }(std::make_index_sequence<Ar::value>{});
}
}  // namespace detail

struct Annotation {
    const char* name;
    const char* text;
};

// What a function is, as its definition states it.
struct Def {
    const char* name;
    std::initializer_list<const char*> params;
    const char* doc = nullptr;
    std::initializer_list<Annotation> annotations = {};
    const char* qualname = nullptr;  // defaults to name
};

inline constexpr int max_params = 8;

object make_function(const Def& d, Invoker impl, std::size_t arity,
                     std::initializer_list<handle> defaults, handle closure, unsigned line);

// A function made at run time, closing over a value (a nested `def`).
template <auto F>
object closure_function(const Def& d, handle closure, Site s = {}) {
    return make_function(d, &detail::invoke<F>, detail::arity<decltype(F)>::value, {}, closure,
                         s.line);
}

// ---------------------------------------------------------------- modules

// The module body's view of the module being executed.
class Module {
 public:
    explicit Module(PyObject* m) : m_(m) {}
    // import a.b  (binds the top-level name)
    void import(const char* name, Site s = {});
    // from a.b import x, y
    void import_from(const char* module, std::initializer_list<const char*> names, Site s = {});
    void set(const char* name, handle value, Site s = {});
    object get(const char* name, Site s = {});
    // def name(params=defaults): the defaults are evaluated now
    template <auto F>
    void def(const Def& d, std::initializer_list<handle> defaults = {}, Site s = {}) {
        set(d.name,
            make_function(d, &detail::invoke<F>, detail::arity<decltype(F)>::value, defaults,
                          handle(), s.line),
            s);
    }
    handle ptr() const { return m_; }

 private:
    PyObject* m_;
};

using Body = void (*)(Module&);

struct ModuleInfo {
    const char* short_name;  // tilwick
    const char* full_name;   // zelkor_installer.utils.tilwick
    Body body;
};

PyObject* create_module(PyObject* spec, PyModuleDef* def);
int exec_module(PyObject* module, const ModuleInfo& info);

}  // namespace zf

// Defines the module `zelkor_installer.utils.<name>` and its PyInit_<name>.
#define ZF_MODULE(NAME, DOC, BODY)                                                              \
    static const ::zf::ModuleInfo zf_module_info{#NAME, "zelkor_installer.utils." #NAME, BODY}; \
    static int zf_exec(PyObject* m) { return ::zf::exec_module(m, zf_module_info); }            \
    static PyModuleDef_Slot zf_slots[] = {                                                      \
        {Py_mod_create, reinterpret_cast<void*>(&::zf::create_module)},                         \
        {Py_mod_exec, reinterpret_cast<void*>(&zf_exec)},                                       \
        {0, nullptr}};                                                                          \
    static PyModuleDef zf_module_def = {PyModuleDef_HEAD_INIT,                                  \
                                        "zelkor_installer.utils." #NAME,                        \
                                        DOC,                                                    \
                                        0,                                                      \
                                        nullptr,                                                \
                                        zf_slots,                                               \
                                        nullptr,                                                \
                                        nullptr,                                                \
                                        nullptr};                                               \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&zf_module_def); }
