"""Fixed-input timings for hallorn beside a Python def doing the same work.
Every call raises; the statement catches it."""

from run import Case
from zelkor_installer.utils import hallorn


class NotFoundError(ValueError):
    """Error to be raised when an end point is not found (404)."""


def py_handle_http_error_response(response):
    status = response.status_code
    try:
        error_detail = response.json()
    except ValueError:
        error_detail = response.text
    error_map = {
        400: (ValueError, "Bad Request: " + str(error_detail)),
        401: (
            PermissionError,
            "Unauthorized: Authentication failed, please check your credentials: "
            + str(error_detail)
            + ".",
        ),
        403: (PermissionError, "Forbidden: You don\u2019t have permission to access this resource."),
        404: (NotFoundError, "Not Found: The requested endpoint does not exist."),
        405: (RuntimeError, "Method Not Allowed: Check the HTTP method."),
        422: (ValueError, "Validation Error: " + str(error_detail)),
    }
    if status >= 500:
        exception = RuntimeError
        message = "Server Error (" + str(status) + "): " + str(error_detail)
    else:
        default = (Exception, "Unexpected Error (" + str(status) + "): " + str(error_detail))
        exception, message = error_map.get(status, default)
    raise exception(message)


class Response:
    def __init__(self, status, body):
        self.status_code = status
        self._body = body
        self.text = "upstream said no"

    def json(self):
        if self._body is None:
            raise ValueError("Expecting value: line 1 column 1 (char 0)")
        return self._body


STMT = "try:\n    f(r)\nexcept Exception:\n    pass"

CASES = [
    Case(f"handle_http_error_response({tag})", STMT, hallorn.handle_http_error_response,
         py_handle_http_error_response, env={"r": Response(status, body)})
    for tag, status, body in [
        ("404 json", 404, {"detail": "Not Found"}),
        ("400 json", 400, {"detail": "missing field"}),
        ("422 text", 422, None),
        ("503 text", 503, None),
        ("418 text", 418, None),
        ("404.0 json", 404.0, {}),
    ]
]
