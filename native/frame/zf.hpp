// zf.hpp: the words a module's source is written in. A module includes only
// this header; the frame (native/frame/) is the only code that knows the C API.
//
// Adding a function
//   1. Write its body in the module's source, where its definition stands
//      among the others, as the Python it stands for: one `handle` per
//      parameter, returning `object` (or `Result`, when it ends with
//      raise_return), every module-level name looked up where Python would:
//          object greet(handle name) {
//              call(global("print"_s), fstring({"Hello, "_s, name}));
//              return None;
//          }
//   2. Define it in the module body, in definition order; the parameter names
//      must match the body's parameters in number (checked when compiling):
//          m.def<greet>({.name = "greet", .params = {"name"}, .doc = R"doc(Say hello.)doc"});
//      Defaults follow as a list, evaluated now: m.def<greet>({...}, {"world"_s}).
//   3. Give it a stub in src/zelkor_installer/utils/<module>.pyi and a test
//      beside the module's others.
//
// Failures: a word that sees a Python exception leaves it set and throws
// `Raised`, carrying the source line of the call site (std::source_location),
// so the frame can add the traceback entry that names the line where the
// failure was detected. A body whose usual outcome is an exception returns
// raise_return(...) instead, which costs no unwinding.
#pragma once

#include <initializer_list>
#include <string>

#include "machinery.hpp"

namespace zf {

// -------------------------------------------------------------- constants

namespace literals {
// "text"_s: an interned str, made once, with the caches of its lookups.
template <detail::Lit L>
Name operator""_s() {
    static detail::NameCache cache{intern(L.s)};
    return Name(&cache);
}
// "text"_b: bytes, made once.
template <detail::Lit L>
handle operator""_b() {
    static PyObject* const b = make_bytes(L.s, L.size);
    return b;
}
}  // namespace literals
using namespace literals;

// A small int, made once.
template <long long V>
handle num() {
    static PyObject* const n = PyLong_FromLongLong(V);
    return n;
}

// None, True and False, usable as handles and as a body's result.
struct Constant {
    PyObject* p;
    operator handle() const { return p; }                  // NOLINT
    operator object() const { return borrow(p); }          // NOLINT
    operator Result() const { return Result(borrow(p)); }  // NOLINT
    PyObject* ptr() const { return p; }
};
inline const Constant None{Py_None};
inline const Constant True{Py_True};
inline const Constant False{Py_False};
inline handle none() { return Py_None; }
inline object boolean(bool b) { return borrow(b ? Py_True : Py_False); }

// A value made once, the first time it is asked for, by the given maker:
//     constant<[] { return tuple_of({}, "\x00"_b, "\xe0"_b); }>()
template <auto Maker>
handle constant() {
    static PyObject* const c = Maker().release().ptr();
    return c;
}

// A reference kept for the life of the process: the module is never
// unloaded, and nothing may be released after the interpreter has ended.
class Kept {
 public:
    void keep(object o) { p_ = o.release().ptr(); }
    handle get() const { return p_; }
    bool is(handle h) const { return p_ != nullptr && h.ptr() == p_; }
    explicit operator bool() const { return p_ != nullptr; }

 private:
    PyObject* p_ = nullptr;
};

// The rich comparisons, for the words that take one as an argument.
enum class Cmp : int { lt = Py_LT, le = Py_LE, eq = Py_EQ, ne = Py_NE, gt = Py_GT, ge = Py_GE };

// ------------------------------------------------------ names and objects

// The module's namespace, then the builtins, at every call.
object global(Name name, Site s = {});
object global(handle name, Site s = {});

object attr(At o, Name name);
object attr(At o, handle name);
object item(At o, handle key);
void set_item(At o, handle key, handle value);
bool truth(At o);
bool contains(At container, handle x);  // x in container
Py_ssize_t length(At o);
bool has_attr(At o, handle name);
object compare(At a, handle b, int op);  // a <op> b, the rich comparison result
inline object eq(At a, handle b) { return compare(a, b, Py_EQ); }
inline object ne(At a, handle b) { return compare(a, b, Py_NE); }
inline object lt(At a, handle b) { return compare(a, b, Py_LT); }
inline object gt(At a, handle b) { return compare(a, b, Py_GT); }
inline object ge(At a, handle b) { return compare(a, b, Py_GE); }
object format(At o);            // as an f-string renders a value
object str_of(At o);            // str(o)
object concat(At a, handle b);  // a + b
object divide(At a, handle b);  // a / b (a path joined with a name)
object repr_of(At o);           // repr(o)
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

object new_list(Site s = {});
void append(At list, handle x);
void sort(At list);  // list.sort() of a list
object new_set(Site s = {});
object set_of(At iterable);  // set(iterable)
void set_add(At set, handle x);
object new_dict(Site s = {});

// [a, b, ...]
template <class... A>
object list_of(Site s, A&&... a) {
    PyObject* items[] = {detail::arg_ptr(a)...};
    return detail::list_from(items, sizeof...(A), s.line);
}

// (a, b, ...)
template <class... A>
object tuple_of(Site s, A&&... a) {
    PyObject* items[] = {detail::arg_ptr(a)...};
    return detail::tuple_from(items, sizeof...(A), s.line);
}

// An f-string: every part formatted with an empty format specification (a
// str stands as it is), all concatenated.
object fstring(std::initializer_list<handle> parts, Site s = {});

object float_from(double v, Site s = {});
// the slice object of a subscript o[start:stop:step] (None for an omitted part)
object slice_of(handle start, handle stop, handle step, Site s = {});
// `import a.b` run inside a function, giving the module a.b: what sys.modules
// holds while the import machinery is the interpreter's own, else an import
object import_module(Name name, Site s = {});

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

// ------------------------------------------------------------------ calls

// f(args...), with Kw{...} items passed as keywords
template <class... A>
object call(At f, A&&... a) {
    return detail::call_with(f.o, nullptr, f.line, std::forward<A>(a)...);
}

// o.name(args...)
template <class... A>
object method(At o, Name name, A&&... a) {
    return detail::call_with(o.o, name, o.line, std::forward<A>(a)...);
}

// o.name(args...), for a name that is no literal
template <class... A>
object method(At o, handle name, A&&... a) {
    return detail::call_with(o.o, name.ptr(), o.line, std::forward<A>(a)...);
}

// f(args...) where a failure is an expected outcome that the caller's
// `except` clause takes: an empty object instead of a thrown Raised, the
// exception pending.
template <class... A>
object try_call(handle f, A&&... a) {
    PyObject* args[] = {nullptr, detail::arg_ptr(a)...};
    return steal(PyObject_Vectorcall(f.ptr(), args + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// f(args...) as a body's last statement, the body then returning None: a
// failure (sys.exit's usual outcome) fails the body without unwinding.
template <class... A>
Result last_call(At f, A&&... a) {
    object r = try_call(handle(f.o), std::forward<A>(a)...);
    if (!r) return Failed{f.line};
    return None;
}

// a <op> b, an empty object on failure (see try_call)
inline object try_compare(handle a, handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
inline object try_compare(handle a, handle b, Cmp op) {
    return try_compare(a, b, static_cast<int>(op));
}
// Throws for the exception that a try_call left pending when no clause took it.
[[noreturn]] inline void rethrow(Site s = {}) { raised(s.line); }

// ------------------------------------------------------------- iteration

// for (object x : iterate(o)) walks iter(o), raising what the iterator raises.
// An exact list or tuple is walked by index, as its own iterator does.
Range iterate(At o);

// for (auto [k, v] : items(d)) walks `for k, v in d.items()`: an exact
// dict directly, with its iterator's checks; anything else by its items()
// and the unpacking of each.
ItemsRange items(At d);

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

// `raise value` as a body's last step, without unwinding (a C++ throw costs
// microseconds): the exception is set and the body returns what this gives,
// so the frame adds the traceback entry for the line of this call.
Failed raise_return(At value);
// raise type(message), likewise
Failed raise_new_return(At type, handle message);

// An `except NAME:` clause: NAME is looked up as a module-level name when an
// exception reaches the clause; when the pending exception matches it, the
// exception is cleared and true returned, otherwise it stays pending.
bool caught(Name name, Site s = {});
// `except NAME as e:`: the exception object when the pending exception
// matches NAME (it is then cleared), otherwise an empty object and the
// exception stays pending.
object caught_as(Name name, Site s = {});

// The pending exception, taken out and put back: a cleanup runs between.
object suspend_exception();
[[noreturn]] void resume_exception(object pending, const Raised& r);  // sets it again, rethrows
[[noreturn]] void chain_exception(object pending, const Raised& r);   // a cleanup's own failure
// Inside a catch (...): the C++ exception being handled as a pending Python
// exception (a Raised stays as it is), with the line to report it at.
Raised to_raised(unsigned fallback_line);

// Python's try/finally: `cleanup` runs however `body` ends. An exception of
// `cleanup` replaces the pending one, which becomes its __context__.
template <class Body, class Cleanup>
object try_finally(Body&& body, Cleanup&& cleanup, Site s = {}) {
    object result;
    auto on_failure = [&](const Raised& r) {
        object pending = suspend_exception();
        try {
            cleanup();
        } catch (const Raised& r2) {
            chain_exception(std::move(pending), r2);
        } catch (...) {
            chain_exception(std::move(pending), to_raised(s.line));
        }
        resume_exception(std::move(pending), r);
    };
    try {
        result = body();
    } catch (const Raised& r) {
        on_failure(r);
    } catch (...) {
        on_failure(to_raised(s.line));
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
    } catch (...) {
        Raised r = to_raised(cm.line);
        if (with_exit_on_error(manager, exit, cm.line)) return;
        throw r;
    }
    with_exit(manager, exit, cm.line);
}

// ------------------------------------------------------- operating system

// The bytes of a file-system path (os.fspath, encoded), or false when `path`
// is no path-like object.
bool fs_path(handle path, std::string* out, Site s = {});
// OSError from errno, naming the path
[[noreturn]] void raise_os_error(const std::string& path, Site s = {});
// The interpreter released for the guard's lifetime, for a call that may block.
class WithoutInterpreter {
 public:
    WithoutInterpreter() : saved_(PyEval_SaveThread()) {}
    ~WithoutInterpreter() { PyEval_RestoreThread(saved_); }
    WithoutInterpreter(const WithoutInterpreter&) = delete;
    WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;

 private:
    PyThreadState* saved_;
};
// Runs `fn` with the interpreter released; `fn` must not touch Python objects.
template <class Fn>
auto without_interpreter(Fn&& fn) {
    WithoutInterpreter released;
    return fn();
}
// Runs the handlers of signals that arrived; throws what a handler raised.
void check_signals(Site s = {});

// ------------------------------------------------------ function objects

// What a function is, as its definition states it.
template <std::size_t N>
struct Def {
    const char* name;
    Params<N> params;
    const char* doc = nullptr;
    std::initializer_list<Annotation> annotations = {};
    const char* qualname = nullptr;  // defaults to name
};

namespace detail {
template <auto F, std::size_t N>
FunctionSpec spec_of(const Def<N>& d, const handle* defaults, std::size_t ndefaults,
                     PyObject* closure, unsigned line) {
    return {d.name,
            d.params.names,
            N,
            d.doc,
            d.annotations.begin(),
            d.annotations.size(),
            d.qualname,
            defaults,
            ndefaults,
            &invoke<F>,
            closure,
            line};
}
}  // namespace detail

// A function made at run time, closing over a value (a nested `def`).
template <auto F>
object closure_function(const Def<detail::arity_of<F>>& d, handle closure, Site s = {}) {
    static_assert(detail::signature<decltype(F)>::closure, "the body takes no Closure");
    return detail::make_function(detail::spec_of<F>(d, nullptr, 0, closure.ptr(), s.line));
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
    // def name(params): ...
    template <auto F>
    void def(const Def<detail::arity_of<F>>& d, Site s = {}) {
        set(d.name, detail::make_function(detail::spec_of<F>(d, nullptr, 0, nullptr, s.line)), s);
    }
    // def name(params=defaults): the defaults are evaluated now, and fill
    // the last parameters
    template <auto F, std::size_t D>
    void def(const Def<detail::arity_of<F>>& d, const handle (&defaults)[D], Site s = {}) {
        static_assert(D <= detail::arity_of<F>, "more defaults than parameters");
        set(d.name, detail::make_function(detail::spec_of<F>(d, defaults, D, nullptr, s.line)), s);
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
