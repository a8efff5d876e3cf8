"""Text from outside (the package index's pages, pip's output) made fit to show.

A hostile or careless index may echo the password back, in any spelling a
server or a library gives it, and may send control characters that a terminal
would obey. Before such text is shown the password goes, then the text becomes
one line of printable characters and bounded length.
"""

import base64
import html
import json
import re
import unicodedata
from urllib.parse import quote

MASK = "****"
LIMIT = 300  # characters of one shown message
CUT_MARK = " [... cut]"


def secret_forms(secret, user=None):
    """Every spelling of the secret that a server or a library may echo."""
    if not secret:
        return set()
    spellings = [
        lambda: secret,
        lambda: quote(secret, safe=""),
        lambda: quote(secret),
        lambda: html.escape(secret),
        lambda: html.escape(secret, quote=False),
        lambda: repr(secret)[1:-1],  # inside a dict's str(), as an error detail shows it
        lambda: json.dumps(secret)[1:-1],
        lambda: json.dumps(secret, ensure_ascii=False)[1:-1],
    ]
    if user is not None:
        # the Authorization header, in the encoding pip sends and in UTF-8
        for encoding in ("latin-1", "utf-8"):
            token = f"{user}:{secret}"
            spellings.append(lambda t=token, e=encoding: base64.b64encode(t.encode(e)).decode())
    forms = set()
    for spelling in spellings:
        try:
            forms.add(spelling())
        except UnicodeError:  # a spelling the secret has no form in
            pass
    # percent-escapes may come back in lower case
    forms |= {re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), form) for form in forms}
    forms.discard("")
    return forms


def hide_secret(text, secret, user=None):
    """The text with every spelling of the secret masked."""
    forms = secret_forms(secret, user)
    if not forms:
        return text
    # the longest first, so that a spelling holding another goes whole
    pattern = "|".join(re.escape(form) for form in sorted(forms, key=len, reverse=True))
    return re.sub(pattern, MASK, text)


def escaped(char):
    """A control or format character as its escape (ESC as \\x1b), others as they are."""
    if unicodedata.category(char) not in ("Cc", "Cf", "Cs"):
        return char
    code = ord(char)
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def printable(text, limit=LIMIT):
    """One line of printable text, cut after about `limit` characters with a mark."""
    shown = []
    length = 0
    for char in " ".join(str(text).split()):
        piece = escaped(char)
        if length + len(piece) > limit:
            return "".join(shown) + CUT_MARK
        shown.append(piece)
        length += len(piece)
    return "".join(shown)


class Scrubber:
    """Makes outside text fit to show, for one run's credentials."""

    def __init__(self, user=None, password=None):
        self.user = user
        self.password = password

    def __call__(self, text, limit=LIMIT):
        return printable(hide_secret(str(text), self.password, self.user), limit)
