"""An unsuccessful HTTP response as an exception."""

from typing import Any, NoReturn

class NotFoundError(ValueError): ...

def handle_http_error_response(response: Any) -> NoReturn: ...
