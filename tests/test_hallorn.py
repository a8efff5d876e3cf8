"""HTTP error responses mapped onto exceptions: small fakes for the corner
cases, real requests.Response objects for the common ones."""

import json
import sys
import traceback

import pytest
import requests

from index_server import IndexServer
from zelkor_installer.utils import hallorn

FORBIDDEN = "Forbidden: You don\u2019t have permission to access this resource."
NOT_FOUND = "Not Found: The requested endpoint does not exist."
UNAUTHORIZED = "Unauthorized: Authentication failed, please check your credentials: "
DETAIL = {"detail": "missing field"}


class FakeResponse:
    """status_code, json() and text, as a response offers them."""

    def __init__(self, status, body=None, text="plain text"):
        self.status_code, self._body, self.text = status, body, text

    def json(self):
        if self._body is None:
            raise ValueError("not JSON")
        return self._body


def raised_by(response):
    with pytest.raises(BaseException) as info:
        hallorn.handle_http_error_response(response)
    return info.value


def test_not_found_error_class():
    cls = hallorn.NotFoundError
    assert cls.__mro__[1:] == ValueError.__mro__
    assert (cls.__module__, cls.__qualname__) == ("zelkor_installer.utils.hallorn", "NotFoundError")
    assert cls.__doc__ == "Error to be raised when an end point is not found (404)."
    assert [n for n in vars(hallorn) if not n.startswith("__")] == [
        "NotFoundError",
        "handle_http_error_response",
    ]
    with pytest.raises(ValueError, match="^Not Found"):
        hallorn.handle_http_error_response(response=FakeResponse(404))


@pytest.mark.parametrize(
    "status, body, exc_type, message",
    [
        (400, DETAIL, ValueError, "Bad Request: {'detail': 'missing field'}"),
        (400, None, ValueError, "Bad Request: plain text"),
        (401, DETAIL, PermissionError, UNAUTHORIZED + "{'detail': 'missing field'}."),
        (403, DETAIL, PermissionError, FORBIDDEN),
        (404, DETAIL, hallorn.NotFoundError, NOT_FOUND),
        (404.0, None, hallorn.NotFoundError, NOT_FOUND),
        (405, None, RuntimeError, "Method Not Allowed: Check the HTTP method."),
        (422, None, ValueError, "Validation Error: plain text"),
        (422, ["a", 1], ValueError, "Validation Error: ['a', 1]"),
        (500, DETAIL, RuntimeError, "Server Error (500): {'detail': 'missing field'}"),
        (600, None, RuntimeError, "Server Error (600): plain text"),
        (10**30, None, RuntimeError, f"Server Error ({10**30}): plain text"),
        (402, None, Exception, "Unexpected Error (402): plain text"),
        (418, False, Exception, "Unexpected Error (418): False"),
        (200, None, Exception, "Unexpected Error (200): plain text"),
        (True, None, Exception, "Unexpected Error (True): plain text"),
    ],
)
def test_status_table(status, body, exc_type, message):
    exc = raised_by(FakeResponse(status, body))
    assert type(exc) is exc_type and exc.args == (message,)


@pytest.mark.parametrize("status", [None, "404", object()])
def test_status_that_does_not_compare_raises_type_error(status):
    assert type(raised_by(FakeResponse(status, DETAIL))) is TypeError


def raise_(exc):
    def f():
        raise exc

    return f


@pytest.mark.parametrize(
    "fail, propagated",
    [
        (lambda: json.loads("<html>"), None),  # JSONDecodeError, a ValueError
        (lambda: b"\xff".decode(), None),  # UnicodeDecodeError, a ValueError too
        (raise_(KeyError("boom")), KeyError),
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


def test_failing_text_read_propagates():
    class NoText(FakeResponse):
        @property
        def text(self):
            raise LookupError("no text")

        @text.setter
        def text(self, value):
            pass

    assert type(raised_by(NoText(400))) is LookupError


@pytest.mark.parametrize("status", [400, 404, 418, 503])
def test_detail_str_taken_for_every_message_made(status):
    # the table and one more message are made whatever the status: four texts,
    # each by str() (not by format())
    calls = []

    class Detail:
        def __str__(self):
            calls.append(status)
            return "by-str"

        def __format__(self, spec):
            return "by-format"

    exc = raised_by(FakeResponse(status, Detail()))
    assert len(calls) == 4
    assert "by-format" not in exc.args[0]


class MutatingStatus:
    """A status whose comparison with 500 changes the detail."""

    def __init__(self, value, detail):
        self.value, self.detail = value, detail

    def __ge__(self, other):
        self.detail.append("MUTATED")
        return self.value >= other

    def __eq__(self, other):
        return self.value == other

    def __hash__(self):
        return hash(self.value)

    def __str__(self):
        return str(self.value)


@pytest.mark.parametrize("status, message", [
    (400, "Bad Request: []"),
    (422, "Validation Error: []"),
    (418, "Unexpected Error (418): ['MUTATED']"),
    (503, "Server Error (503): ['MUTATED']"),
])
def test_detail_text_is_taken_when_its_message_is_made(status, message):
    # the table's texts exist before the status is compared; the others after
    detail = []
    exc = raised_by(FakeResponse(MutatingStatus(status, detail), detail))
    assert exc.args == (message,)


def test_rebound_not_found_error_is_honoured(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(hallorn, "NotFoundError", Replacement)
    assert type(raised_by(FakeResponse(404))) is Replacement
    assert type(raised_by(FakeResponse(400))) is ValueError
    monkeypatch.setattr(hallorn, "NotFoundError", "not an exception")
    assert type(raised_by(FakeResponse(404))) is TypeError


@pytest.mark.parametrize("status", [404, 418, 503, None])
def test_failure_adds_one_traceback_entry(status):
    exc = raised_by(FakeResponse(status, DETAIL))
    entries = [
        (f.name, f.filename, f.lineno > 0)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename.startswith("zelkor_installer/")
    ]
    assert entries == [
        ("zelkor_installer.utils.hallorn.handle_http_error_response",
         "zelkor_installer/utils/hallorn", True)
    ]  # fmt: skip


def test_no_reference_leaks():
    body = {"detail": "x"}
    response = FakeResponse(400, body)
    before = sys.getrefcount(body), sys.getrefcount(response)
    for status in (400, 401, 404, 404.0, 500, 418, None) * 200:
        response.status_code = status
        try:
            hallorn.handle_http_error_response(response)
        except Exception:
            pass
    assert (sys.getrefcount(body), sys.getrefcount(response)) == before


def test_real_responses(tmp_path):
    pages = {
        "/api/missing": (404, "text/html", b"<html><body>Not Found</body></html>"),
        "/api/bad": (400, "application/json", b'{"detail": "missing field"}'),
        "/api/invalid": (422, "text/plain", b"oops"),
        "/api/down": (503, "application/json", b'["busy", 2]'),
        "/api/teapot": (418, "text/plain", b"short and stout"),
    }
    with IndexServer(tmp_path, auth=("user", "secret"), extra_pages=pages) as server:
        base = f"http://127.0.0.1:{server.port}"
        got = {p: requests.get(base + p, auth=("user", "secret"), timeout=10) for p in pages}
        got["unauthorised"] = requests.get(base + "/api/bad", timeout=10)
    handmade = requests.Response()
    handmade.status_code, handmade._content, handmade.encoding = 403, b"{}", "utf-8"
    got["handmade"] = handmade
    results = {path: raised_by(r) for path, r in got.items()}
    assert {path: (type(e), e.args[0]) for path, e in results.items()} == {
        "/api/missing": (hallorn.NotFoundError, NOT_FOUND),
        "/api/bad": (ValueError, "Bad Request: {'detail': 'missing field'}"),
        "/api/invalid": (ValueError, "Validation Error: oops"),
        "/api/down": (RuntimeError, "Server Error (503): ['busy', 2]"),
        "/api/teapot": (Exception, "Unexpected Error (418): short and stout"),
        "unauthorised": (PermissionError, UNAUTHORIZED + "{'detail': 'Invalid credentials'}."),
        "handmade": (PermissionError, FORBIDDEN),
    }
