// The failure model: a C++ failure becomes the pending Python exception,
// a failure gets the traceback entry naming its line, and the words that
// raise, catch and chain exceptions as Python's statements do.
#include <cstdarg>
#include <cstdlib>
#include <exception>
#include <new>

#include "internal.hpp"

namespace zf {

namespace detail {

void clear_frames(FrameCache* cache) {
    for (int i = 0; i < FrameCache::size; ++i) Py_CLEAR(cache->frames[i]);
}

int visit_frames(FrameCache* cache, visitproc visit, void* arg) {
    for (int i = 0; i < FrameCache::size; ++i) Py_VISIT(cache->frames[i]);
    return 0;
}

namespace {

// The frame a traceback entry of `funcname` at `line` points to: a code object
// that names them, in the module's namespace.
PyObject* frame_for(PyObject* funcname, unsigned line, FrameCache* cache) {
    for (int i = 0; i < FrameCache::size; ++i)
        if (cache->frames[i] != nullptr && cache->lines[i] == line)
            return Py_NewRef(cache->frames[i]);
    if (state.filename == nullptr || state.globals == nullptr) return nullptr;
    const char* name = PyUnicode_AsUTF8(funcname);
    const char* file = PyUnicode_AsUTF8(state.filename);
    if (name == nullptr || file == nullptr) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(file, name, static_cast<int>(line));
    if (code == nullptr) return nullptr;
    PyObject* frame =
        reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, state.globals, nullptr));
    Py_DECREF(code);
    if (frame == nullptr) return nullptr;
    const int slot = cache->next;
    cache->next = (slot + 1) % FrameCache::size;
    Py_XSETREF(cache->frames[slot], Py_NewRef(frame));
    cache->lines[slot] = line;
    return frame;
}

}  // namespace

void add_traceback(PyObject* funcname, unsigned line, FrameCache* cache) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject* frame = frame_for(funcname, line, cache);
    PyErr_Clear();  // a failure to describe the error must not replace it
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
        Py_DECREF(frame);
    }
}

void set_context(object interrupted) {
    PyObject* now = PyErr_GetRaisedException();
    if (now != nullptr && now != interrupted.ptr())
        PyException_SetContext(now, interrupted.release().ptr());
    PyErr_SetRaisedException(now);
}

}  // namespace detail

PyObject* detail::failed_with(const Raised& r, unsigned* line) {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    *line = r.line;
    return nullptr;
}

PyObject* detail::failed_with_current(unsigned* line) {
    *line = to_raised(0).line;
    return nullptr;
}

Raised to_raised(unsigned fallback_line) {
    try {
        throw;
    } catch (const Raised& r) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
        return r;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return Raised{fallback_line};
}

Failed raise_return(At value) {
    PyObject* v = value.o;
    if (PyExceptionClass_Check(v)) {
        PyObject* inst = PyObject_CallNoArgs(v);
        if (inst == nullptr) return Failed{value.line};
        if (!PyExceptionInstance_Check(inst)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", v,
                         Py_TYPE(inst)->tp_name);
            Py_DECREF(inst);
            return Failed{value.line};
        }
        PyErr_SetRaisedException(inst);
    } else if (PyExceptionInstance_Check(v)) {
        PyErr_SetRaisedException(Py_NewRef(v));
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return Failed{value.line};
}

Failed raise_new_return(At type, handle message) {
    PyObject* exc = PyObject_CallOneArg(type.o, message.ptr());
    if (exc == nullptr) return Failed{type.line};
    return raise_return(At(steal(exc), type.line));
}

void raise(At value) { raised(raise_return(value).line); }

void raise_new(At type, handle message) { raised(raise_new_return(type, message).line); }

void fail_at(unsigned line, PyObject* type, const char* format_text, ...) {
    va_list va;
    va_start(va, format_text);
    PyErr_FormatV(type, format_text, va);
    va_end(va);
    raised(line);
}

bool caught(Name name, Site s) {
    object pending = steal(PyErr_GetRaisedException());
    object cls;
    try {
        cls = global(name, s);
    } catch (const Raised&) {
        detail::set_context(std::move(pending));  // the lookup's own error
        throw;
    }
    PyObject* c = cls.ptr();
    bool valid = PyExceptionClass_Check(c);
    if (!valid && PyTuple_Check(c)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c); ++i)
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(c, i));
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        detail::set_context(std::move(pending));
        raised(s.line);
    }
    if (PyErr_GivenExceptionMatches(pending.ptr(), c)) return true;
    PyErr_SetRaisedException(pending.release().ptr());
    return false;
}

object caught_as(Name name, Site s) {
    object pending = steal(PyErr_GetRaisedException());
    // caught() tests the pending exception; this reference survives its clearing
    PyErr_SetRaisedException(Py_NewRef(pending.ptr()));
    if (caught(name, s)) return pending;
    return object();
}

object suspend_exception() { return steal(PyErr_GetRaisedException()); }

void resume_exception(object pending, const Raised& r) {
    PyErr_SetRaisedException(pending.release().ptr());
    throw r;
}

void chain_exception(object pending, const Raised& r) {
    detail::set_context(std::move(pending));
    throw r;
}

// ------------------------------------------------------------ with blocks

object with_enter(At cm, object* exit) {
    object type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(cm.o)));
    if (!has_attr(At(type, cm.line), "__enter__"_s))
        fail_at(cm.line, PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol",
                Py_TYPE(cm.o)->tp_name);
    object enter = attr(At(type, cm.line), "__enter__"_s);
    if (!has_attr(At(type, cm.line), "__exit__"_s))
        fail_at(cm.line, PyExc_TypeError,
                "'%.200s' object does not support the context manager protocol "
                "(missed __exit__ method)",
                Py_TYPE(cm.o)->tp_name);
    *exit = attr(At(type, cm.line), "__exit__"_s);
    return call(At(enter, cm.line), handle(cm.o));
}

bool with_exit_on_error(handle cm, handle exit, unsigned line) {
    object exc = steal(PyErr_GetRaisedException());
    object tb = steal(PyException_GetTraceback(exc.ptr()));
    object exc_type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())));
    try {
        object suppress = call(At(exit, line), cm, exc_type, exc, tb ? handle(tb) : none());
        if (truth(At(suppress, line))) return true;
    } catch (...) {
        // raised while handling: the body's exception is its context
        Raised r = to_raised(line);
        detail::set_context(std::move(exc));
        throw r;
    }
    PyErr_SetRaisedException(exc.release().ptr());
    return false;
}

void with_exit(handle cm, handle exit, unsigned line) {
    call(At(exit, line), cm, none(), none(), none());
}

}  // namespace zf

#ifdef ZF_STATIC_CXX_RUNTIME
// With the C++ library linked in, its default terminate handler would bring
// the whole C++ demangler (some 50 KB a module) only to name the type of an
// exception that escaped. None can escape the frame, which catches every one
// at the boundary, so terminating is plainly aborting.
namespace __cxxabiv1 {
std::terminate_handler __terminate_handler = std::abort;  // NOLINT: the runtime's own name
}  // namespace __cxxabiv1
#endif
