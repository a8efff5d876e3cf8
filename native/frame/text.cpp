// Text: the constant strings of the modules, and what str's own methods
// give for an exact str, computed without calling them.
#include <cstring>

#include "internal.hpp"

namespace zf {

PyObject* intern(const char* utf8) {
    PyObject* s = PyUnicode_InternFromString(utf8);
    if (s == nullptr) Py_FatalError("zelkor_installer: cannot create a constant string");
    return s;  // kept for the life of the process
}

PyObject* make_bytes(const char* data, std::size_t size) {
    PyObject* b = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    if (b == nullptr) Py_FatalError("zelkor_installer: cannot create a constant bytes");
    return b;  // kept for the life of the process
}

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
        return own(PyObject_CallMethodNoArgs(stripped.ptr(), "lower"_s.ptr()), site.line);
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

}  // namespace zf
