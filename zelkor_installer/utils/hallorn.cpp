// HTTP errors as exceptions: an unsuccessful response becomes one raised
// exception whose type tells the kind of failure and whose text a user reads.
#include "zframe.hpp"

using namespace zf;

namespace {

// Statuses handled by the table, in the order the table lists them.
constexpr long table_statuses[] = {400, 401, 403, 404, 405, 422};

object handle_http_error_response(handle response) {
    object status = attr(response, "status_code"_s);
    object error_detail;
    try {
        error_detail = method(response, "json"_s);
    } catch (const Raised&) {
        if (!caught("ValueError"_s)) throw;
        // not JSON: the body as it came
        error_detail = attr(response, "text"_s);
    }

    // The table's entries, evaluated in table order: the three messages with
    // the detail take its str() form each, and every exception type is looked
    // up afresh so that a rebound NotFoundError is honoured.
    object bad_request_type = global("ValueError"_s);
    object bad_request = concat("Bad Request: "_s, str_of(error_detail));
    object unauthorized_type = global("PermissionError"_s);
    object unauthorized =
        concat(concat("Unauthorized: Authentication failed, please check your credentials: "_s,
                      str_of(error_detail)),
               "."_s);
    object forbidden_type = global("PermissionError"_s);
    object not_found_type = global("NotFoundError"_s);
    object not_allowed_type = global("RuntimeError"_s);
    object validation_type = global("ValueError"_s);
    object validation = concat("Validation Error: "_s, str_of(error_detail));

    handle types[] = {bad_request_type, unauthorized_type, forbidden_type,
                      not_found_type,   not_allowed_type,  validation_type};
    handle messages[] = {
        bad_request,
        unauthorized,
        "Forbidden: You don\u2019t have permission to access this resource."_s,
        "Not Found: The requested endpoint does not exist."_s,
        "Method Not Allowed: Check the HTTP method."_s,
        validation,
    };

    if (truth(compare(status, num<500>(), Py_GE))) {
        object message = concat(concat(concat("Server Error ("_s, str_of(status)), "): "_s),
                                str_of(error_detail));
        raise_new(global("RuntimeError"_s), message);
    }

    object fallback_type = global("Exception"_s);
    object fallback = concat(concat(concat("Unexpected Error ("_s, str_of(status)), "): "_s),
                             str_of(error_detail));

    // Which entry the status selects, as a dict keyed by the table's ints
    // would find it: an exact int is matched directly, anything else (a
    // float 404.0, an int subclass, an object with its own hash and
    // equality) goes through a real dict lookup.
    int chosen = -1;
    if (PyLong_CheckExact(status.ptr())) {
        int overflow = 0;
        long s = PyLong_AsLongAndOverflow(status.ptr(), &overflow);
        if (s == -1 && PyErr_Occurred()) raised(__LINE__);
        for (int i = 0; i < 6 && overflow == 0; ++i)
            if (table_statuses[i] == s) chosen = i;
    } else {
        object error_map = new_dict();
        set_item(error_map, num<400>(), num<0>());
        set_item(error_map, num<401>(), num<1>());
        set_item(error_map, num<403>(), num<2>());
        set_item(error_map, num<404>(), num<3>());
        set_item(error_map, num<405>(), num<4>());
        set_item(error_map, num<422>(), num<5>());
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(error_map.ptr(), status.ptr(), &found) < 0) raised(__LINE__);
        if (found != nullptr) {
            chosen = static_cast<int>(PyLong_AsLong(found));
            Py_DECREF(found);
        }
    }

    if (chosen < 0) raise_new(fallback_type, fallback);
    raise_new(types[chosen], messages[chosen]);
}

void body(Module& m) {
    // class NotFoundError(ValueError), made as a class statement makes it
    object ns = new_dict();
    set_item(ns, "__module__"_s, m.get("__name__"));
    set_item(ns, "__qualname__"_s, "NotFoundError"_s);
    set_item(ns, "__doc__"_s, "Error to be raised when an end point is not found (404)."_s);
    object bases = tuple_of({}, m.get("ValueError"));
    m.set("NotFoundError", call(m.get("type"), "NotFoundError"_s, bases, ns));

    m.def<handle_http_error_response>(
        {.name = "handle_http_error_response",
         .params = {"response"},
         .doc = "Handle HTTP error responses and raises appropriate exceptions with error "
                "messages.\n"
                "\n"
                "    The function attempts to parse the error details from the response as "
                "JSON. If the content\n"
                "    cannot be parsed as JSON, the raw response text will be used.\n"
                "\n"
                "    Args:\n"
                "        response (requests.Response):\n"
                "            The HTTP response object that contains the status code and error "
                "details.\n"
                "\n"
                "    Raises:\n"
                "        ValueError:\n"
                "            If the status code is 400 (Bad Request) or 422 (Validation "
                "Error).\n"
                "        PermissionError:\n"
                "            If the status code is 401 (Unauthorized) or 403 (Forbidden).\n"
                "        NotFoundError:\n"
                "            If the status code is 404 (Not Found).\n"
                "        RuntimeError:\n"
                "            If the status code is 405 (Method Not Allowed) or 5xx (Server "
                "Error).\n"
                "        Exception:\n"
                "            For any unexpected status code.\n"
                "    "});
}

}  // namespace

ZF_MODULE(hallorn, "Utility functions to handle requests HTTP errors.", body)
