// The machinery behind the words of zf.hpp: what templates and inline fast
// paths need to see. Module code does not use these names directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Only pybind11's object layer: handle and object hold our references.
#include <pybind11/pytypes.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zf {

namespace py = pybind11;
using py::handle;
using py::object;

// A Python exception is set; `line` is where the module's source detected it.
struct Raised {
    unsigned line;
};

[[noreturn]] inline void raised(unsigned line) { throw Raised{line}; }

// The call site of a helper, captured without the caller writing it.
struct Site {
    unsigned line;
    Site(std::source_location l = std::source_location::current()) : line(l.line()) {}
};

// Take ownership of a new reference; a null result means an exception is set.
inline object own(PyObject* p, unsigned line) {
    if (p == nullptr) raised(line);
    return py::reinterpret_steal<object>(p);
}
inline object own(PyObject* p, Site s = {}) { return own(p, s.line); }
inline object borrow(PyObject* p) { return py::reinterpret_borrow<object>(p); }
inline object borrow(handle h) { return py::reinterpret_borrow<object>(h); }
inline object steal(PyObject* p) { return py::reinterpret_steal<object>(p); }

PyObject* intern(const char* utf8);
PyObject* make_bytes(const char* data, std::size_t size);

namespace detail {

// A string literal as a template argument.
template <std::size_t N>
struct Lit {
    char s[N];
    constexpr Lit(const char (&a)[N]) { std::copy_n(a, N, s); }
    static constexpr std::size_t size = N - 1;  // without the terminating NUL
};

// What the frame remembers about one literal name, so that looking it up
// again costs a few comparisons. Every cached answer is keyed by versions
// that CPython changes whenever the answer could change: a dict's version
// (a new, process-unique one at every change of the dict) and a type's
// version tag (cleared at every change of the type or its bases).
struct NameCache {
    PyObject* str;  // the interned name, kept for the life of the process
    // global(name): the value found while the namespace and builtins had these versions
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    PyObject* global_value = nullptr;  // a reference of the cache's own
    // attr(module, name): the value found in that module's dict at that version
    PyObject* module_dict = nullptr;
    std::uint64_t module_version = 0;
    PyObject* module_value = nullptr;  // a reference of the cache's own
    // method(o, name): the method found on a type while it had this version tag
    PyTypeObject* type = nullptr;
    unsigned int type_version = 0;
    Py_ssize_t dict_offset = 0;  // where an instance keeps a dict that could shadow it
    PyObject* method = nullptr;  // borrowed: the type holds it while the tag stands
    // import_module(name): the module found while sys.modules had this version
    PyObject* modules_dict = nullptr;
    std::uint64_t modules_version = 0;
    std::uint64_t import_builtins_version = 0;
    PyObject* imported = nullptr;  // a reference of the cache's own
};

}  // namespace detail

// An interned str made from a literal once per module, together with the
// caches of the lookups made by that name.
class Name {
 public:
    explicit Name(detail::NameCache* c) : c_(c) {}
    PyObject* ptr() const { return c_->str; }
    operator handle() const { return c_->str; }
    detail::NameCache* cache() const { return c_; }

 private:
    detail::NameCache* c_;
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
    At(Name n, std::source_location l = std::source_location::current())
        : o(n.ptr()), line(l.line()) {}
    At(handle h, unsigned line) : o(h.ptr()), line(line) {}
};

// A keyword argument of a call.
struct Kw {
    handle name;
    handle value;
};

namespace detail {

object vcall(PyObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
             unsigned line);
object vcall_method(PyObject* self, Name name, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, unsigned line);
object vcall_method(PyObject* self, PyObject* name, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames, unsigned line);
object tuple_from(PyObject* const* items, std::size_t n, unsigned line);
object list_from(PyObject* const* items, std::size_t n, unsigned line);

// Whether the tuple `names` holds exactly these names, in this order.
inline bool same_names(PyObject* names, PyObject* const* items, std::size_t n) {
    if (names == nullptr) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) != items[i]) return false;
    return true;
}
// A new tuple of the names, replacing `old`, kept for the process.
PyObject* keep_names(PyObject* old, PyObject* const* items, std::size_t n, unsigned line);

template <class T>
constexpr bool is_kw = std::is_same_v<std::decay_t<T>, Kw>;

inline PyObject* arg_ptr(handle h) { return h.ptr(); }
inline PyObject* arg_ptr(Name n) { return n.ptr(); }
inline PyObject* arg_ptr(const object& o) { return o.ptr(); }

// Lays the arguments out as a vectorcall wants them: a free slot, the
// receiver (for a method), the positional arguments, then the keyword values
// with their names in a tuple.
template <class Name_, class... A>
object call_with(PyObject* first, Name_ method_name, unsigned line, A&&... a) {
    constexpr std::size_t nkw = (0 + ... + (is_kw<A> ? 1 : 0));
    constexpr std::size_t n = sizeof...(A);
    PyObject* stack[n + 2];
    stack[0] = nullptr;
    stack[1] = first;
    std::size_t pos = 2;
    [[maybe_unused]] std::size_t kwpos = 0;
    [[maybe_unused]] PyObject* kwvals[nkw + 1];
    [[maybe_unused]] PyObject* kwnames_items[nkw + 1];
    [[maybe_unused]] auto put = [&](auto&& x) {
        if constexpr (is_kw<decltype(x)>) {
            kwnames_items[kwpos] = x.name.ptr();
            kwvals[kwpos++] = x.value.ptr();
        } else {
            stack[pos++] = arg_ptr(x);
        }
    };
    (put(std::forward<A>(a)), ...);
    [[maybe_unused]] PyObject* kwnames = nullptr;
    object held;  // a call made by the callee may replace `last`
    if constexpr (nkw > 0) {
        // The names of the last call made with these argument types, kept:
        // keyword names are literals, so the same call site finds them again.
        static PyObject* last = nullptr;
        if (!same_names(last, kwnames_items, nkw))
            last = keep_names(last, kwnames_items, nkw, line);
        held = borrow(last);
        kwnames = last;
        for (std::size_t i = 0; i < nkw; ++i) stack[pos++] = kwvals[i];
    }
    constexpr std::size_t npos = n - nkw;
    if constexpr (std::is_same_v<Name_, std::nullptr_t>) {
        return vcall(first, stack + 2, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames, line);
    } else {
        return vcall_method(first, method_name, stack + 1,
                            (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames, line);
    }
}

}  // namespace detail

// ------------------------------------------------------------- iteration

// The walks behind iterate() and items() in zf.hpp: each step's item is moved
// out to the loop variable, so a walk holds no item of its own meanwhile.
class Iter {
 public:
    Iter(object it, PyObject* seq, unsigned line);
    Iter() = default;
    object operator*() { return std::move(cur_); }  // taken once per step
    Iter& operator++() {
        advance();
        return *this;
    }
    bool operator!=(const Iter&) const { return !done_; }

 private:
    void advance();
    object it_;
    PyObject* seq_ = nullptr;  // an exact list or tuple walked by index (held by it_)
    Py_ssize_t index_ = 0;
    object cur_;
    unsigned line_ = 0;
    bool done_ = true;
};

class Range {
 public:
    Range(object it, PyObject* seq, unsigned line) : it_(std::move(it)), seq_(seq), line_(line) {}
    Iter begin() { return Iter(it_, seq_, line_); }
    Iter end() { return Iter(); }

 private:
    object it_;
    PyObject* seq_;
    unsigned line_;
};

struct Pair {
    object key, value;
};
class ItemsIter {
 public:
    ItemsIter(object source, bool exact, unsigned line);
    ItemsIter() = default;
    Pair operator*() { return {std::move(key_), std::move(value_)}; }
    ItemsIter& operator++() {
        advance();
        return *this;
    }
    bool operator!=(const ItemsIter&) const { return !done_; }

 private:
    void advance();
    object source_;  // the dict, or the iterator of its items()
    bool exact_ = false;
    Py_ssize_t pos_ = 0, used_ = 0, left_ = 0;
    object key_, value_;
    unsigned line_ = 0;
    bool done_ = true;
};
class ItemsRange {
 public:
    ItemsRange(object source, bool exact, unsigned line)
        : source_(std::move(source)), exact_(exact), line_(line) {}
    ItemsIter begin() { return ItemsIter(source_, exact_, line_); }
    ItemsIter end() { return ItemsIter(); }

 private:
    object source_;
    bool exact_;
    unsigned line_;
};
// ------------------------------------------------------- function objects

// A body's outcome: a value, or a failure whose exception is set (see
// raise_return in zf.hpp), with the line that detected it.
struct Failed {
    unsigned line;
};
class Result {
 public:
    Result(object value) : value_(std::move(value)) {}  // NOLINT: a body returns either
    Result(Failed f) : line_(f.line) {}                 // NOLINT
    object& value() { return value_; }
    unsigned line() const { return line_; }

 private:
    object value_;
    unsigned line_ = 0;
};

// The value a native function's body was made with (a nested `def`'s closure).
struct Closure {
    handle value;
};

// Calls a body with a call's bound arguments; on failure returns null with
// the exception set and the line that detected it in *line.
using Invoker = PyObject* (*)(PyObject* closure, PyObject* const* args, unsigned* line);

namespace detail {

template <class F>
struct signature;
template <class R, class... A>
struct signature<R (*)(A...)> {
    static constexpr bool closure = [] {
        if constexpr (sizeof...(A) == 0)
            return false;
        else
            return std::is_same_v<std::tuple_element_t<0, std::tuple<A...>>, Closure>;
    }();
    static constexpr std::size_t arity = sizeof...(A) - (closure ? 1 : 0);
};

template <auto F>
constexpr std::size_t arity_of = signature<decltype(F)>::arity;

template <class R>
PyObject* outcome(R&& r, unsigned* line) {
    if constexpr (std::is_same_v<std::decay_t<R>, Result>) {
        *line = r.line();
        return r.value().release().ptr();
    } else {
        return r.release().ptr();
    }
}

// The failure as the pending exception, and the line to name (see zf.hpp).
PyObject* failed_with(const Raised& r, unsigned* line);
PyObject* failed_with_current(unsigned* line);

// The handler sits in the function the body is inlined into, so a failure
// unwinds the fewest frames: a C++ throw costs per frame it crosses.
template <auto F>
PyObject* invoke(PyObject* closure, PyObject* const* args, unsigned* line) {
    using S = signature<decltype(F)>;
    try {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            if constexpr (S::closure)
                return outcome(F(Closure{closure}, handle(args[I])...), line);
            else
                return outcome(F(handle(args[I])...), line);
        }(std::make_index_sequence<S::arity>{});
    } catch (const Raised& r) {
        return failed_with(r, line);
    } catch (...) {
        return failed_with_current(line);
    }
}

}  // namespace detail

inline constexpr int max_params = 8;

// The parameter names of a function of N parameters: a list of another
// length does not compile.
template <std::size_t N>
struct Params {
    const char* names[N == 0 ? 1 : N];
    template <class... S>
        requires(std::is_convertible_v<S, const char*> && ...)
    Params(S... s) : names{s...} {  // NOLINT: written as a braced list
        static_assert(sizeof...(S) == N, "the parameter names do not match the body's parameters");
        static_assert(N <= max_params, "more parameters than the frame binds");
    }
};

// The built-in type a parameter accepts exactly, refusing subclasses and
// everything else with the interpreter's "incorrect type" text.
enum class Exactly { any, str, dict };

struct Annotation {
    const char* param;  // the parameter's name, or "return"
    const char* text;   // what __annotations__ shows
    Exactly exactly = Exactly::any;
};

namespace detail {
struct FunctionSpec {
    const char* name;
    const char* const* params;
    std::size_t nparams;
    const char* doc;
    const Annotation* annotations;
    std::size_t nannotations;
    const char* qualname;
    const handle* defaults;
    std::size_t ndefaults;
    Invoker impl;
    PyObject* closure;
    unsigned line;
};
object make_function(const FunctionSpec& spec);
}  // namespace detail

}  // namespace zf
