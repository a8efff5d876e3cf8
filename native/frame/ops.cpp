// Object operations as the interpreter performs them: items, truth,
// comparison, formatting, containers, calls, iteration and unpacking.
#include <cstring>

#include "internal.hpp"

namespace zf {

object item(At o, handle key) { return own(PyObject_GetItem(o.o, key.ptr()), o.line); }
void set_item(At o, handle key, handle value) {
    if (PyObject_SetItem(o.o, key.ptr(), value.ptr()) < 0) raised(o.line);
}
bool truth(At o) {
    // the singletons answer at once, as the interpreter's own test does
    if (o.o == Py_True) return true;
    if (o.o == Py_False || o.o == Py_None) return false;
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
namespace {
// Equal exact strs: a str is stored in the narrowest kind that holds it
bool str_equal(PyObject* a, PyObject* b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}
}  // namespace

object compare(At a, handle b, int op) {
    // two exact strs: equality is their characters', and nothing can override it
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a.o) &&
        PyUnicode_CheckExact(b.ptr())) {
        const bool same = a.o == b.ptr() || str_equal(a.o, b.ptr());
        return boolean(same == (op == Py_EQ));
    }
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
    return steal(v);
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

// ------------------------------------------------------------- containers

object new_list(Site s) { return own(PyList_New(0), s.line); }
void append(At list, handle x) {
    if (PyList_Append(list.o, x.ptr()) < 0) raised(list.line);
}
void sort(At list) {
    if (PyList_Sort(list.o) < 0) raised(list.line);
}
object new_set(Site s) { return own(PySet_New(nullptr), s.line); }
object set_of(At iterable) { return own(PySet_New(iterable.o), iterable.line); }
void set_add(At set, handle x) {
    if (PySet_Add(set.o, x.ptr()) < 0) raised(set.line);
}
object new_dict(Site s) { return own(PyDict_New(), s.line); }

object detail::tuple_from(PyObject* const* items, std::size_t n, unsigned line) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (t == nullptr) raised(line);
    for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(items[i]));
    return steal(t);
}

object detail::list_from(PyObject* const* items, std::size_t n, unsigned line) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    if (l == nullptr) raised(line);
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(l, i, Py_NewRef(items[i]));
    return steal(l);
}

PyObject* detail::keep_names(PyObject* old, PyObject* const* items, std::size_t n, unsigned line) {
    PyObject* names = tuple_from(items, n, line).release().ptr();
    Py_XDECREF(old);
    return names;
}

object float_from(double v, Site s) { return own(PyFloat_FromDouble(v), s.line); }

object slice_of(handle start, handle stop, handle step, Site s) {
    return own(PySlice_New(start.ptr(), stop.ptr(), step.ptr()), s.line);
}

// The parts formatted in order, then copied once into a str of the whole
// length, as the interpreter's BUILD_STRING joins them.
object fstring(std::initializer_list<handle> parts, Site s) {
    constexpr std::size_t most = 16;
    if (parts.size() > most) {
        object pieces = own(PyTuple_New(static_cast<Py_ssize_t>(parts.size())), s.line);
        Py_ssize_t i = 0;
        for (handle p : parts)
            PyTuple_SET_ITEM(pieces.ptr(), i++, format(At(p, s.line)).release().ptr());
        return own(PyUnicode_Join(""_s.ptr(), pieces.ptr()), s.line);
    }
    object text[most];
    std::size_t n = 0;
    Py_ssize_t total = 0;
    Py_UCS4 widest = 127;
    for (handle p : parts) {
        text[n] = format(At(p, s.line));
        PyObject* t = text[n++].ptr();
        total += PyUnicode_GET_LENGTH(t);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(t));
    }
    object out = own(PyUnicode_New(total, widest), s.line);
    const int kind = PyUnicode_KIND(out.ptr());
    char* to = static_cast<char*>(PyUnicode_DATA(out.ptr()));
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* t = text[i].ptr();
        const Py_ssize_t len = PyUnicode_GET_LENGTH(t);
        if (PyUnicode_KIND(t) == kind)
            std::memcpy(to + at * kind, PyUnicode_DATA(t), static_cast<std::size_t>(len) * kind);
        else if (PyUnicode_CopyCharacters(out.ptr(), at, t, 0, len) < 0)
            raised(s.line);
        at += len;
    }
    return out;
}

// ------------------------------------------------------------------ calls

object detail::vcall(PyObject* f, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     unsigned line) {
    // the callee's own entry point, as the interpreter's CALL finds it
    PyTypeObject* tp = Py_TYPE(f);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
        auto fn = *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(f) +
                                                     tp->tp_vectorcall_offset);
        if (fn != nullptr) return own(fn(f, args, nargsf, kwnames), line);
    }
    return own(PyObject_Vectorcall(f, args, nargsf, kwnames), line);
}

// ------------------------------------------------------------- iteration

Iter::Iter(object it, PyObject* seq, unsigned line)
    : it_(std::move(it)), seq_(seq), line_(line), done_(false) {
    advance();
}

void Iter::advance() {
    if (seq_ != nullptr) {
        // a list may change size while it is walked: its length is read each step
        const Py_ssize_t size = PyList_Check(seq_) ? PyList_GET_SIZE(seq_) : PyTuple_GET_SIZE(seq_);
        if (index_ < size) {
            cur_ = borrow(PyList_Check(seq_) ? PyList_GET_ITEM(seq_, index_)
                                             : PyTuple_GET_ITEM(seq_, index_));
            ++index_;
        } else {
            done_ = true;
        }
        return;
    }
    PyObject* next = PyIter_Next(it_.ptr());
    if (next == nullptr) {
        done_ = true;
        if (PyErr_Occurred()) raised(line_);
    }
    cur_ = steal(next);
}

Range iterate(At o) {
    if (PyList_CheckExact(o.o) || PyTuple_CheckExact(o.o)) return Range(borrow(o.o), o.o, o.line);
    return Range(own(PyObject_GetIter(o.o), o.line), nullptr, o.line);
}

ItemsIter::ItemsIter(object source, bool exact, unsigned line)
    : source_(std::move(source)), exact_(exact), line_(line), done_(false) {
    if (exact_) used_ = left_ = PyDict_GET_SIZE(source_.ptr());
    advance();
}

void ItemsIter::advance() {
    if (!exact_) {
        PyObject* entry = PyIter_Next(source_.ptr());
        if (entry == nullptr) {
            done_ = true;
            if (PyErr_Occurred()) raised(line_);
            return;
        }
        object held = steal(entry);
        unpack(At(held, line_), {&key_, &value_});
        return;
    }
    // as the dict's own items iterator: its size and keys must stay as they were
    PyObject* d = source_.ptr();
    if (used_ != PyDict_GET_SIZE(d)) {
        used_ = -1;
        fail_at(line_, PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    PyObject *k = nullptr, *v = nullptr;
    if (!PyDict_Next(d, &pos_, &k, &v)) {
        done_ = true;
        return;
    }
    if (left_ == 0) fail_at(line_, PyExc_RuntimeError, "dictionary keys changed during iteration");
    --left_;
    key_ = borrow(k);
    value_ = borrow(v);
}

ItemsRange items(At d) {
    if (PyDict_CheckExact(d.o)) return ItemsRange(borrow(d.o), true, d.line);
    object view = method(d, "items"_s);
    return ItemsRange(own(PyObject_GetIter(view.ptr()), d.line), false, d.line);
}

void unpack(At o, std::initializer_list<object*> targets) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(targets.size());
    PyObject* v = o.o;
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
        const Py_ssize_t size = Py_SIZE(v);
        PyObject** items = PyList_CheckExact(v) ? reinterpret_cast<PyListObject*>(v)->ob_item
                                                : reinterpret_cast<PyTupleObject*>(v)->ob_item;
        if (size < n)
            fail_at(o.line, PyExc_ValueError, "not enough values to unpack (expected %d, got %d)",
                    static_cast<int>(n), static_cast<int>(size));
        if (size > n)
            fail_at(o.line, PyExc_ValueError, "too many values to unpack (expected %d)",
                    static_cast<int>(n));
        std::size_t i = 0;
        for (object* t : targets) *t = borrow(items[i++]);
        return;
    }
    PyObject* it = PyObject_GetIter(v);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr &&
            !PySequence_Check(v))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(v)->tp_name);
        raised(o.line);
    }
    object iter = steal(it);
    constexpr Py_ssize_t most = max_params;
    object got[most];
    if (n > most) fail_at(o.line, PyExc_SystemError, "too many targets to unpack");
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyIter_Next(it);
        if (w == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)",
                             static_cast<int>(n), static_cast<int>(i));
            raised(o.line);
        }
        got[i] = steal(w);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra == nullptr) {
        if (PyErr_Occurred()) raised(o.line);
        Py_ssize_t i = 0;
        for (object* t : targets) *t = std::move(got[i++]);
        return;
    }
    Py_DECREF(extra);
    fail_at(o.line, PyExc_ValueError, "too many values to unpack (expected %d)",
            static_cast<int>(n));
}

}  // namespace zf
