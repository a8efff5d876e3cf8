"""HTTP error responses mapped onto exceptions: fakes for the corner cases,
real requests.Response objects from a local server for the common ones."""

import json
import sys

import pytest
import requests

from index_server import IndexServer
from zelkor_installer.utils import hallorn

FORBIDDEN = "Forbidden: You don\u2019t have permission to access this resource."
NOT_FOUND = "Not Found: The requested endpoint does not exist."
NOT_ALLOWED = "Method Not Allowed: Check the HTTP method."
UNAUTHORIZED = "Unauthorized: Authentication failed, please check your credentials: "


class FakeResponse:
    """status_code, json() and text, as a response offers them."""

    def __init__(self, status, body=None, text="plain text", json_error=ValueError):
        self.status_code = status
        self._body = body
        self.text = text
        self._json_error = json_error
        self.json_calls = 0

    def json(self):
        self.json_calls += 1
        if self._body is None:
            raise self._json_error("not JSON")
        return self._body


def raised_by(response):
    with pytest.raises(BaseException) as info:
        hallorn.handle_http_error_response(response)
    return info.value


def test_not_found_error_class():
    cls = hallorn.NotFoundError
    assert cls.__mro__[1:] == ValueError.__mro__
    assert cls.__module__ == "zelkor_installer.utils.hallorn"
    assert cls.__qualname__ == cls.__name__ == "NotFoundError"
    assert cls.__doc__ == "Error to be raised when an end point is not found (404)."
    assert [n for n in vars(hallorn) if not n.startswith("__")] == [
        "NotFoundError",
        "handle_http_error_response",
    ]


DETAIL = {"detail": "missing field"}


@pytest.mark.parametrize(
    "status, body, exc_type, message",
    [
        (400, DETAIL, ValueError, "Bad Request: {'detail': 'missing field'}"),
        (400, None, ValueError, "Bad Request: plain text"),
        (401, DETAIL, PermissionError, UNAUTHORIZED + "{'detail': 'missing field'}."),
        (401, None, PermissionError, UNAUTHORIZED + "plain text."),
        (403, DETAIL, PermissionError, FORBIDDEN),
        (403, None, PermissionError, FORBIDDEN),
        (404, DETAIL, hallorn.NotFoundError, NOT_FOUND),
        (404.0, None, hallorn.NotFoundError, NOT_FOUND),
        (405, None, RuntimeError, NOT_ALLOWED),
        (422, None, ValueError, "Validation Error: plain text"),
        (422, ["a", 1], ValueError, "Validation Error: ['a', 1]"),
        (500, DETAIL, RuntimeError, "Server Error (500): {'detail': 'missing field'}"),
        (503, None, RuntimeError, "Server Error (503): plain text"),
        (600, None, RuntimeError, "Server Error (600): plain text"),
        (10**30, None, RuntimeError, f"Server Error ({10**30}): plain text"),
        (500.5, None, RuntimeError, "Server Error (500.5): plain text"),
        (402, None, Exception, "Unexpected Error (402): plain text"),
        (418, False, Exception, "Unexpected Error (418): False"),
        (200, None, Exception, "Unexpected Error (200): plain text"),
        (-404, None, Exception, "Unexpected Error (-404): plain text"),
        (True, None, Exception, "Unexpected Error (True): plain text"),
    ],
)
def test_status_table(status, body, exc_type, message):
    exc = raised_by(FakeResponse(status, body))
    assert type(exc) is exc_type
    assert exc.args == (message,)


@pytest.mark.parametrize("status", [None, "404", b"500", object()])
def test_status_that_does_not_compare_raises_type_error(status):
    assert type(raised_by(FakeResponse(status, DETAIL))) is TypeError


def bad_utf8():
    b"\xff".decode("utf-8")


def raise_(exc):
    def f():
        raise exc

    return f


@pytest.mark.parametrize(
    "fail, propagated",
    [
        (raise_(ValueError("boom")), None),
        (lambda: json.loads("<html>"), None),  # JSONDecodeError, a ValueError
        (bad_utf8, None),  # UnicodeDecodeError, a ValueError too
        (raise_(KeyError("boom")), KeyError),
        (raise_(RuntimeError("boom")), RuntimeError),
        (raise_(KeyboardInterrupt()), KeyboardInterrupt),
    ],
)
def test_only_value_errors_of_json_fall_back_to_text(fail, propagated):
    class Raising(FakeResponse):
        def json(self):
            fail()

    exc = raised_by(Raising(422))
    if propagated is None:
        assert exc.args == ("Validation Error: plain text",)
    else:
        assert type(exc) is propagated


def test_failing_attribute_reads_propagate():
    class NoText:
        status_code = 400

        def json(self):
            raise ValueError

        @property
        def text(self):
            raise LookupError("no text")

    assert type(raised_by(NoText())) is LookupError

    class NoStatus:
        def json(self):
            return {}

    assert type(raised_by(NoStatus())) is AttributeError


def test_detail_shown_by_str_not_format():
    class Detail:
        def __str__(self):
            return "by-str"

        def __format__(self, spec):
            return "by-format"

    assert raised_by(FakeResponse(400, Detail())).args == ("Bad Request: by-str",)
    assert raised_by(FakeResponse(502, Detail())).args == ("Server Error (502): by-str",)


@pytest.mark.parametrize("status", [400, 404, 418, 503])
def test_detail_str_taken_once_for_every_message_made(status):
    # the table and the fallback message are made whatever the status: four texts
    calls = []

    class Detail:
        def __str__(self):
            calls.append(status)
            return "d"

    raised_by(FakeResponse(status, Detail()))
    assert len(calls) == 4


def test_not_found_is_caught_as_value_error():
    with pytest.raises(ValueError, match="^Not Found"):
        hallorn.handle_http_error_response(FakeResponse(404))


def test_rebound_not_found_error_is_honoured(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(hallorn, "NotFoundError", Replacement)
    assert type(raised_by(FakeResponse(404))) is Replacement
    # the other entries do not depend on it
    assert type(raised_by(FakeResponse(400))) is ValueError
    monkeypatch.setattr(hallorn, "NotFoundError", "not an exception")
    assert type(raised_by(FakeResponse(404))) is TypeError


def test_argument_by_name_and_binding_errors():
    with pytest.raises(RuntimeError):
        hallorn.handle_http_error_response(response=FakeResponse(405))
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        hallorn.handle_http_error_response(FakeResponse(405), 2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'resp'"):
        hallorn.handle_http_error_response(FakeResponse(405), resp=1)


def test_no_reference_leaks():
    body = {"detail": "x"}
    response = FakeResponse(400, body)
    before = sys.getrefcount(body), sys.getrefcount(response)
    for status in (400, 401, 404, 404.0, 500, 418) * 200:
        response.status_code = status
        try:
            hallorn.handle_http_error_response(response)
        except Exception:
            pass
    assert (sys.getrefcount(body), sys.getrefcount(response)) == before


def handmade(status, content, content_type="application/json"):
    r = requests.Response()
    r.status_code = status
    r._content = content
    r.headers["Content-Type"] = content_type
    r.encoding = "utf-8"
    return r


@pytest.mark.parametrize(
    "response, exc_type, message",
    [
        (handmade(400, b'{"detail": "missing field"}'), ValueError,
         "Bad Request: {'detail': 'missing field'}"),
        (handmade(422, b"oops", "text/plain"), ValueError, "Validation Error: oops"),
        (handmade(403, b"{}"), PermissionError, FORBIDDEN),
        (handmade(500, b"null"), RuntimeError, "Server Error (500): None"),
    ],
)
def test_handmade_requests_responses(response, exc_type, message):
    exc = raised_by(response)
    assert type(exc) is exc_type and exc.args == (message,)


def test_responses_from_a_local_server(tmp_path):
    pages = {
        "/api/missing": (404, "text/html", b"<html><body>Not Found</body></html>"),
        "/api/bad": (400, "application/json", b'{"detail": "missing field"}'),
        "/api/invalid": (422, "text/plain", b"oops"),
        "/api/down": (503, "application/json", b'["busy", 2]'),
        "/api/teapot": (418, "text/plain", b"short and stout"),
    }
    with IndexServer(tmp_path, auth=("user", "secret"), extra_pages=pages) as server:
        base = f"http://127.0.0.1:{server.port}"
        unauthorised = requests.get(base + "/api/bad", timeout=10)
        got = {
            path: requests.get(base + path, auth=("user", "secret"), timeout=10) for path in pages
        }
    results = {path: raised_by(r) for path, r in got.items()}
    assert type(results["/api/missing"]) is hallorn.NotFoundError
    assert results["/api/missing"].args == (NOT_FOUND,)
    assert results["/api/bad"].args == ("Bad Request: {'detail': 'missing field'}",)
    assert results["/api/invalid"].args == ("Validation Error: oops",)
    assert type(results["/api/down"]) is RuntimeError
    assert results["/api/down"].args == ("Server Error (503): ['busy', 2]",)
    assert type(results["/api/teapot"]) is Exception
    assert results["/api/teapot"].args == ("Unexpected Error (418): short and stout",)
    exc = raised_by(unauthorised)
    assert type(exc) is PermissionError
    assert exc.args == (UNAUTHORIZED + "{'detail': 'Invalid credentials'}.",)


@pytest.mark.parametrize("status", [404, 418, 503, None])
def test_failure_adds_one_traceback_entry(status):
    import traceback

    exc = raised_by(FakeResponse(status, DETAIL))
    entries = [
        (f.name, f.filename)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename.startswith("zelkor_installer/")
    ]
    assert entries == [
        ("zelkor_installer.utils.hallorn.handle_http_error_response",
         "zelkor_installer/utils/hallorn")
    ]  # fmt: skip
    assert exc.__traceback__.tb_next.tb_lineno > 0
