"""Fixed-input rows for hallorn.  Every call raises; the timed statement
catches it."""

from run import Case


class Response:
    def __init__(self, status, body):
        self.status_code = status
        self._body = body
        self.text = "upstream said no"

    def json(self):
        if self._body is None:
            raise ValueError("Expecting value: line 1 column 1 (char 0)")
        return self._body


CASES = [
    Case(f"handle_http_error_response({tag})", "f(r)", env={"r": Response(status, body)},
         catch="Exception")
    for tag, status, body in [
        ("404 json", 404, {"detail": "Not Found"}),
        ("400 json", 400, {"detail": "missing field"}),
        ("422 text", 422, None),
        ("503 text", 503, None),
        ("418 text", 418, None),
        ("404.0 json", 404.0, {}),
    ]
] + [
    Case("handle_http_error_response(no argument): binding", "f()", catch="TypeError",
         binding=True),
]
