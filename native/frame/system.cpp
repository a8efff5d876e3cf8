// The operating system: file-system paths, OS errors, signals.
#include <cerrno>

#include "internal.hpp"

namespace zf {

bool fs_path(handle path, std::string* out, Site s) {
    PyObject* fs = PyOS_FSPath(path.ptr());
    if (fs == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raised(s.line);
        PyErr_Clear();
        return false;
    }
    object fspath = steal(fs);
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

}  // namespace zf
