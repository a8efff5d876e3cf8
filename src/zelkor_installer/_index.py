"""The package index as the front end meets it before pip does: its URL, the
credentials written into it, and one request for a project's page.

Nothing here quotes the user information of a URL back: it may hold a password.
"""

import base64
import http.client
import json
import threading
import urllib.error
import urllib.request
from urllib.parse import quote, unquote, urlsplit, urlunsplit

from zelkor_installer._outside import Scrubber

INDEX_TIMEOUT = 30  # seconds one read of the index check may wait; pip has its own
INDEX_DEADLINE = 60  # seconds the whole index check may take
ERROR_BODY_LIMIT = 64 * 1024  # bytes of an error page read for its message

NOT_UTF8 = "The password holds a byte that is not UTF-8 text: it cannot be used."
NOT_LATIN1 = ("The {what} holds a character that pip cannot send: pip sends the user "
              "name and password as Latin-1 (ISO 8859-1) text.")
USER_COLON = ('The user name cannot hold ":": basic authentication ends the user name '
              'at the first ":".')
USER_SLASH = ('The user name cannot hold "/": pip would take the part before it for the '
              "host of the index.")


class Abort(Exception):
    """Ends the run with a one-line message and an exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


URL_AT_AFTER_HOST = ('invalid index URL: it holds "@" after the host; in a user name or '
                     'password written into the URL, "/", "?", "#" and "@" must be '
                     "percent-encoded (or give the user name with --user)")


def check_index_url(url):
    """The index URL, or ValueError saying what is wrong with it, in words that
    quote nothing of it: its user information may hold a password."""
    try:
        parts = urlsplit(url)
    except ValueError:
        netloc = url.partition("//")[2]
        if "[" in netloc or "]" in netloc:
            raise ValueError("invalid index URL: the host in square brackets is not a "
                             "valid IPv6 address") from None
        raise ValueError("invalid index URL: it holds characters that Unicode normalisation "
                         'turns into "/", "?", "#", "@" or ":"') from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError("the index URL must be an http:// or https:// URL with a host")
    # a password with an unencoded "/", "?" or "#" ends the location early, and
    # the rest of it would be taken for a host, a port or a path
    if "@" in parts.path + parts.query + parts.fragment:
        raise ValueError(URL_AT_AFTER_HOST)
    try:
        parts.port
    except ValueError:
        raise ValueError("invalid index URL: its port is not a number from 0 to 65535") from None
    if ":" not in parts.hostname:  # not an IPv6 address
        try:
            parts.hostname.encode("idna")
        except UnicodeError:
            raise ValueError("invalid index URL: its host name is not a valid domain name "
                             "(a label is empty, longer than 63 characters, or holds "
                             "characters IDNA does not allow)") from None
    return url


def sendable(text):
    """Whether pip can send the text in basic authentication (as Latin-1)."""
    try:
        text.encode("latin-1")
        return True
    except UnicodeEncodeError:
        return False


def check_user_name(user):
    if ":" in user:
        raise Abort(1, USER_COLON)
    if "/" in user:
        raise Abort(1, USER_SLASH)
    if not sendable(user):
        raise Abort(1, NOT_LATIN1.format(what="user name"))


def check_credentials(user, password):
    """Refuse up front what pip cannot send; nothing of the secret is quoted."""
    if user is not None:
        check_user_name(user)
    if password is not None:
        if any("\udc80" <= char <= "\udcff" for char in password):  # bytes that were no UTF-8
            raise Abort(1, NOT_UTF8)
        if not sendable(password):
            raise Abort(1, NOT_LATIN1.format(what="password"))


def split_netloc(netloc):
    """(user information or None, host and port) of a URL location."""
    userinfo, at, hostport = netloc.rpartition("@")
    return (userinfo if at else None), hostport


def url_with_credentials(url, user, password):
    parts = urlsplit(url)
    hostport = split_netloc(parts.netloc)[1]
    netloc = f"{quote(user, safe='')}:{quote(password, safe='')}@{hostport}"
    return urlunsplit(parts._replace(netloc=netloc))


def credentials_of(url):
    """(user, password) written into a URL, percent-decoded as pip decodes them;
    None where absent."""
    userinfo = split_netloc(urlsplit(url).netloc)[0]
    if userinfo is None:
        return None, None
    user, colon, password = userinfo.partition(":")
    return unquote(user), (unquote(password) if colon else None)


def url_without_credentials(url):
    parts = urlsplit(url)
    return urlunsplit(parts._replace(netloc=split_netloc(parts.netloc)[1]))


def project_page_url(index_url, name):
    parts = urlsplit(url_without_credentials(index_url))
    path = parts.path if parts.path.endswith("/") else parts.path + "/"
    return urlunsplit(parts._replace(path=f"{path}{name}/", query="", fragment=""))


class ErrorResponse:
    """An HTTP error as the error mapping reads a response."""

    def __init__(self, status_code, body, charset):
        self.status_code = status_code
        try:
            self.text = body.decode(charset or "utf-8", errors="replace")
        except LookupError:  # a charset no codec knows
            self.text = body.decode("utf-8", errors="replace")

    def json(self):
        try:
            return json.loads(self.text)
        except RecursionError:  # nested too deep: the text stands
            raise ValueError("JSON nested too deeply") from None


def check_index(index_url, first_name):
    """Ask the index for the first project's page before anything is installed.

    The request runs on a thread of its own so that one deadline holds for the
    whole check, however slowly the server answers; the thread is left behind
    when the deadline passes, and the process does not wait for it at exit.
    """
    from zelkor_installer.utils import tilwick

    outcome = []

    def ask():
        try:
            ask_index(index_url, first_name)
            outcome.append(None)
        except BaseException as e:
            outcome.append(e)

    worker = threading.Thread(target=ask, name="index check", daemon=True)
    worker.start()
    worker.join(INDEX_DEADLINE)
    if not outcome:
        shown = Scrubber(*credentials_of(index_url))(tilwick.mask_license_key(index_url))
        raise Abort(1, f"The package index {shown} did not answer within "
                       f"{INDEX_DEADLINE} seconds.")
    if outcome[0] is not None:
        raise outcome[0]


def ask_index(index_url, first_name):
    """urllib does not send credentials written into a URL, so they go into an
    Authorization header of a request to the bare URL, encoded as pip encodes them."""
    from zelkor_installer.utils import hallorn, tilwick

    user, password = credentials_of(index_url)
    scrub = Scrubber(user, password)
    headers = {"Accept": "text/html"}
    if user is not None and password is not None:  # pip sends nothing without a password
        token = f"{user}:{password}".encode("latin-1")
        headers["Authorization"] = "Basic " + base64.b64encode(token).decode("ascii")
    page = project_page_url(index_url, first_name)
    request = urllib.request.Request(page, headers=headers)
    opener = urllib.request.build_opener(SameHostRedirects)
    shown = tilwick.mask_license_key(index_url)
    try:
        with opener.open(request, timeout=INDEX_TIMEOUT):
            return
    except urllib.error.HTTPError as e:
        with e:
            response = ErrorResponse(e.code, e.read(ERROR_BODY_LIMIT),
                                     e.headers.get_content_charset())
        try:
            hallorn.handle_http_error_response(response)
        except hallorn.NotFoundError as mapped:
            raise Abort(1, scrub(f"The package index has no page for {first_name} ({page}): "
                                 f"{mapped}")) from None
        except Exception as mapped:  # it always raises; its message is the report
            raise Abort(1, scrub(mapped)) from None
        raise Abort(1, f"The package index answered with status {e.code}.")
    except urllib.error.URLError as e:
        raise Abort(1, scrub(f"Could not reach the package index {shown}: {e.reason}")) from None
    except (OSError, http.client.HTTPException) as e:
        reason = str(e) or type(e).__name__
        raise Abort(1, scrub(f"Could not reach the package index {shown}: {reason}")) from None


def _same_origin(a, b):
    a, b = urlsplit(a), urlsplit(b)
    return (a.scheme, a.hostname, a.port) == (b.scheme, b.hostname, b.port)


class SameHostRedirects(urllib.request.HTTPRedirectHandler):
    """Follows redirects, but never carries the credentials to another origin."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        new = super().redirect_request(req, fp, code, msg, headers, newurl)
        if new is not None and not _same_origin(req.full_url, new.full_url):
            new.headers.pop("Authorization", None)
            new.unredirected_hdrs.pop("Authorization", None)
        return new
