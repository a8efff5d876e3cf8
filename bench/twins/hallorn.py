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
    error_map = {
        400: (ValueError, "Bad Request: " + str(error_detail)),
        401: (
            PermissionError,
            "Unauthorized: Authentication failed, please check your credentials: "
            + str(error_detail)
            + ".",
        ),
        403: (
            PermissionError,
            "Forbidden: You don\u2019t have permission to access this resource.",
        ),
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
