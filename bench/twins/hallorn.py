# cython: language_level=3
"""Twin of zelkor_installer.utils.hallorn."""


class NotFoundError(ValueError):
    """Error to be raised when an end point is not found (404)."""


def handle_http_error_response(response):
    status = response.status_code
    try:
        error_detail = response.json()
    except ValueError:
        error_detail = response.text
    # Plain data's str() (what JSON decodes to) is a pure function of its value
    # that cannot fail, and an exact int status runs no code as it is compared:
    # the detail's text may then wait until a message shows it, and is made
    # once.  Otherwise str() is called for every message that shows it, as the
    # table's messages are made.
    deferred = (type(status) is int and -0x8000000000000000 <= status <= 0x7FFFFFFFFFFFFFFF
                and _plain_data(error_detail))
    # (exception, head, the detail's text or None when it waits, tail); a
    # message without the detail has no tail
    error_map = {
        400: (ValueError, "Bad Request: ", None if deferred else str(error_detail), ""),
        401: (
            PermissionError,
            "Unauthorized: Authentication failed, please check your credentials: ",
            None if deferred else str(error_detail),
            ".",
        ),
        403: (
            PermissionError,
            "Forbidden: You don\u2019t have permission to access this resource.",
            None,
            None,
        ),
        404: (NotFoundError, "Not Found: The requested endpoint does not exist.", None, None),
        405: (RuntimeError, "Method Not Allowed: Check the HTTP method.", None, None),
        422: (ValueError, "Validation Error: ", None if deferred else str(error_detail), ""),
    }
    if status >= 500:
        raise RuntimeError("Server Error (" + str(status) + "): " + str(error_detail))
    default = (Exception, "Unexpected Error (" + str(status) + "): ",
               None if deferred else str(error_detail), "")
    exception, message, text, tail = error_map.get(status, default)
    if tail is not None:
        message = message + (str(error_detail) if text is None else text) + tail
    raise exception(message)


def _plain_data(value, depth=16):
    """Whether str() of ``value`` is a pure function of it that cannot fail:
    None, bool, exact str, float and small int, and exact lists and dicts of
    them, nested at most ``depth`` deep.  (The native module's frame has it;
    the only name the twin binds beyond the module's own.)"""
    kind = type(value)
    if value is None or kind is str or kind is float or kind is bool:
        return True
    # a huge int's str() can fail (the digit limit)
    if kind is int:
        return -0x8000000000000000 <= value <= 0x7FFFFFFFFFFFFFFF
    if depth == 0:
        return False
    if kind is list:
        for item in value:
            if not _plain_data(item, depth - 1):
                return False
        return True
    if kind is dict:
        for key, item in value.items():
            if not _plain_data(key, depth - 1) or not _plain_data(item, depth - 1):
                return False
        return True
    return False
