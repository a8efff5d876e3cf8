// HTTP errors as exceptions: an unsuccessful response becomes one raised
// exception whose type tells the kind of failure and whose text a user reads.
#include <utility>

#include "zf.hpp"

using namespace zf;

namespace {

// Statuses handled by the table, in the order the table lists them.
constexpr long long table_statuses[] = {400, 401, 403, 404, 405, 422};

// The error detail's str() form.  Plain data (what JSON decodes to, whose
// str() is a pure function of its value and cannot fail) is made into text
// once, and only when a message shows it, provided no Python code can run
// between the step that takes the text and the message: the status is then
// an exact int, whose comparison, str() and hash run none.  Any other detail,
// or a status that could change the detail as it is compared, has its str()
// called for every message that shows it, as the messages are made.
class Detail {
 public:
    Detail(object value, bool quiet_status)
        : value_(std::move(value)), deferred_(quiet_status && is_plain_data(value_)) {}
    // the text for a message made now: str() now, unless it may wait
    object eager() { return deferred_ ? object() : str_of(value_); }
    // the text of a message, given what eager() gave when it was made
    object text(object made) {
        if (made) return made;
        if (!shared_) shared_ = str_of(value_);
        return shared_;
    }

 private:
    object value_;
    bool deferred_;
    object shared_;
};

Result handle_http_error_response(handle response) {
    object status = attr(response, "status_code"_s);
    // a body that is not JSON is no failure: a cheap test, not an unwinding
    object error_detail = try_call(attr(response, "json"_s));
    if (!error_detail) {
        if (!caught("ValueError"_s)) rethrow();
        error_detail = attr(response, "text"_s);
    }
    long long code = 0;
    bool int_status = exact_int_value(status, &code);
    Detail detail(error_detail, int_status);

    // The table's entries, evaluated in table order: every exception type is
    // looked up afresh (a rebound NotFoundError is honoured) and the three
    // messages with the detail take its str() form each.
    object bad_request_type = global("ValueError"_s);
    object bad_request_text = detail.eager();
    object unauthorized_type = global("PermissionError"_s);
    object unauthorized_text = detail.eager();
    object forbidden_type = global("PermissionError"_s);
    object not_found_type = global("NotFoundError"_s);
    object not_allowed_type = global("RuntimeError"_s);
    object validation_type = global("ValueError"_s);
    object validation_text = detail.eager();

    if (truth(ge(status, num<500>()))) {
        object head = concat(concat("Server Error ("_s, str_of(status)), "): "_s);
        object message = concat(head, detail.text(detail.eager()));
        return raise_new_return(global("RuntimeError"_s), message);
    }

    object fallback_type = global("Exception"_s);
    object fallback_head = concat(concat("Unexpected Error ("_s, str_of(status)), "): "_s);
    object fallback_text = detail.eager();

    // Which entry the status selects, as a dict keyed by the table's ints
    // would find it: an exact int is matched directly, anything else (a
    // float 404.0, an int subclass, an object with its own hash and
    // equality) goes through a real dict lookup.
    int chosen = -1;
    if (int_status) {
        for (int i = 0; i < 6; ++i)
            if (table_statuses[i] == code) chosen = i;
    } else {
        object error_map = new_dict();
        set_item(error_map, num<400>(), num<0>());
        set_item(error_map, num<401>(), num<1>());
        set_item(error_map, num<403>(), num<2>());
        set_item(error_map, num<404>(), num<3>());
        set_item(error_map, num<405>(), num<4>());
        set_item(error_map, num<422>(), num<5>());
        object found = dict_get(error_map, status);
        if (found && exact_int_value(found, &code)) chosen = static_cast<int>(code);
    }

    switch (chosen) {
        case 0:
            return raise_new_return(bad_request_type,
                                    concat("Bad Request: "_s, detail.text(bad_request_text)));
        case 1:
            return raise_new_return(
                unauthorized_type,
                concat(concat("Unauthorized: Authentication failed, please check your "
                              "credentials: "_s,
                              detail.text(unauthorized_text)),
                       "."_s));
        case 2:
            return raise_new_return(
                forbidden_type,
                "Forbidden: You don\u2019t have permission to access this resource."_s);
        case 3:
            return raise_new_return(not_found_type,
                                    "Not Found: The requested endpoint does not exist."_s);
        case 4:
            return raise_new_return(not_allowed_type,
                                    "Method Not Allowed: Check the HTTP method."_s);
        case 5:
            return raise_new_return(validation_type,
                                    concat("Validation Error: "_s, detail.text(validation_text)));
        default:
            return raise_new_return(fallback_type,
                                    concat(fallback_head, detail.text(fallback_text)));
    }
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
         .doc =
             R"doc(Handle HTTP error responses and raises appropriate exceptions with error messages.

    The function attempts to parse the error details from the response as JSON. If the content
    cannot be parsed as JSON, the raw response text will be used.

    Args:
        response (requests.Response):
            The HTTP response object that contains the status code and error details.

    Raises:
        ValueError:
            If the status code is 400 (Bad Request) or 422 (Validation Error).
        PermissionError:
            If the status code is 401 (Unauthorized) or 403 (Forbidden).
        NotFoundError:
            If the status code is 404 (Not Found).
        RuntimeError:
            If the status code is 405 (Method Not Allowed) or 5xx (Server Error).
        Exception:
            For any unexpected status code.
    )doc"});
}

}  // namespace

ZF_MODULE(hallorn, "Utility functions to handle requests HTTP errors.", body)
