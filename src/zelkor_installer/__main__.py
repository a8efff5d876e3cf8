"""Command line of the reference front end.

    python -m zelkor_installer check
    python -m zelkor_installer install --index-url URL [--user NAME] [--upgrade]
                                       [--show-version] REQUIREMENT...
"""

import argparse
import base64
import http.client
import json
import os
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request
from urllib.parse import quote, unquote, urlsplit, urlunsplit

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name


def main(argv=None):
    from zelkor_installer import __version__

    parser = argparse.ArgumentParser(prog=program_name())
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("check", help="check this machine against the installer's requirements")
    add_install_parser(sub)
    args = parser.parse_args(argv)
    if args.command == "check":
        from zelkor_installer.utils import quastel

        quastel.print_check_results()
    if args.command == "install":
        return run_install(args)
    return 0


def program_name():
    """How the user started us: the console command, or python -m."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if name in ("", "__main__.py", "-c", "-m"):
        return "python -m zelkor_installer"
    return name


# ---------------------------------------------------------------------------
# install

ACTION = "install"
PASSWORD_ENV = "ZELKOR_INSTALLER_PASSWORD"
PASSWORD_PROMPT = "Password: "
INDEX_TIMEOUT = 30  # seconds for the index check; pip has its own
PIP_TAIL_LINES = 12  # lines of pip's output shown when a package fails
ERROR_BODY_LIMIT = 64 * 1024  # bytes of an error page read for its message


class Abort(Exception):
    """Ends the run with a one-line message and an exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def add_install_parser(sub):
    p = sub.add_parser(
        "install",
        help="install packages from a private package index",
        description="Install packages from a private package index with pip, "
        "into the environment of this interpreter.",
    )
    p.add_argument("--index-url", required=True, metavar="URL",
                   help="base URL of the package index (its simple pages)")
    p.add_argument("--user", metavar="NAME",
                   help="user name for the index; the password is read from "
                   f"{PASSWORD_ENV} or asked for at the terminal")
    p.add_argument("--upgrade", action="store_true",
                   help="upgrade packages that are already installed")
    p.add_argument("--show-version", action="store_true",
                   help="show the requested version next to each package name")
    p.add_argument("requirements", nargs="+", metavar="REQUIREMENT",
                   help="a package name, optionally with extras and a version (NAME==VERSION)")
    p.set_defaults(install_parser=p)
    return p


def run_install(args):
    parser = args.install_parser
    try:
        requested = parse_requirements(args.requirements)
    except ValueError as e:
        parser.error(str(e))
    try:
        base_url = check_index_url(args.index_url)
    except ValueError as e:
        parser.error(str(e))

    from zelkor_installer.utils import tilwick

    try:
        if args.user is not None:
            password = read_password()
            index_url = url_with_credentials(base_url, args.user, password)
        else:
            index_url = base_url
            password = credentials_of(base_url)[1]
        tilwick.print_message(f"Package index: {tilwick.mask_license_key(index_url)}")
        check_index(index_url, next(iter(requested)))
        return install_all(index_url, requested, args.upgrade, args.show_version, password)
    except Abort as e:
        print(e.message, file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        print("\nInterrupted.", file=sys.stderr)
        return 130


def parse_requirements(texts):
    """Map each requested project's canonical name to (requirement text, pinned version).

    Canonical names are what the private set's metadata spells, so comparisons
    with the inventory and the related-package list hold whatever the user typed.
    """
    from zelkor_installer.utils import brenmoor

    requested = {}
    for text in texts:
        try:
            name = canonicalize_name(brenmoor.get_requirement_name(text))
            pinned = pinned_version(Requirement(text))
        except InvalidRequirement as e:
            raise ValueError(f"invalid requirement {text!r}: {e}") from None
        if name in requested:
            raise ValueError(f"{name} is requested more than once")
        requested[name] = (text, pinned)
    return requested


def pinned_version(req):
    """The version of a requirement that pins exactly one (NAME==VERSION), else None."""
    specs = list(req.specifier)
    if len(specs) == 1 and specs[0].operator in ("==", "===") and "*" not in specs[0].version:
        return specs[0].version
    return None


def check_index_url(url):
    try:
        parts = urlsplit(url)
        parts.port  # raises for a port that is no number
    except ValueError as e:
        raise ValueError(f"invalid index URL: {e}") from None
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError("the index URL must be an http:// or https:// URL with a host")
    return url


def read_password():
    password = os.environ.get(PASSWORD_ENV)
    if password is not None:
        return password
    if sys.stdin is None or not sys.stdin.isatty():
        raise Abort(1, f"A password is needed for --user: set {PASSWORD_ENV} "
                       "or run the command in a terminal.")
    from zelkor_installer.utils import tilwick

    try:
        return tilwick.get_password_input(PASSWORD_PROMPT)
    except KeyboardInterrupt:
        raise Abort(130, "Password entry cancelled.") from None
    except EOFError:
        raise Abort(1, "Password entry ended without a password (end of input).") from None


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
    """(user, password) written into a URL, percent-decoded; None where absent."""
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
        self.text = body.decode(charset or "utf-8", errors="replace")

    def json(self):
        return json.loads(self.text)


def one_line(text):
    return " ".join(str(text).split())


def check_index(index_url, first_name):
    """Ask the index for the first project's page before anything is installed.

    urllib does not send credentials written into a URL, so they go into an
    Authorization header of a request to the bare URL.
    """
    from zelkor_installer.utils import hallorn, tilwick

    user, password = credentials_of(index_url)
    headers = {"Accept": "text/html"}
    if user is not None:
        token = f"{user}:{password or ''}".encode()
        headers["Authorization"] = "Basic " + base64.b64encode(token).decode("ascii")
    request = urllib.request.Request(project_page_url(index_url, first_name), headers=headers)
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
        except Exception as mapped:  # it always raises; its message is the report
            raise Abort(1, one_line(mapped)) from None
        raise Abort(1, f"The package index answered with status {e.code}.")
    except urllib.error.URLError as e:
        raise Abort(1, one_line(f"Could not reach the package index {shown}: {e.reason}")) from None
    except (OSError, http.client.HTTPException) as e:
        reason = str(e) or type(e).__name__
        raise Abort(1, one_line(f"Could not reach the package index {shown}: {reason}")) from None


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


def pip_environment(index_url, empty_dir):
    """The child's environment: the index as the only source of packages.

    pip skips empty settings, so the extra index and the wheel directories that
    its configuration files may name are overridden with harmless values: the
    same index again, and a directory that holds nothing.
    """
    env = dict(os.environ)
    env["PIP_INDEX_URL"] = index_url
    env["PIP_EXTRA_INDEX_URL"] = index_url
    env["PIP_FIND_LINKS"] = empty_dir
    env.pop("PIP_NO_INDEX", None)
    return env


def pip_command(requirement, upgrade):
    # the index URL travels in the environment: a command line is public
    cmd = [sys.executable, "-m", "pip", "install", "--no-input", "--disable-pip-version-check"]
    if upgrade:
        cmd.append("--upgrade")
    cmd.append(requirement)
    return cmd


def install_all(index_url, requested, upgrade, show_version, password):
    from zelkor_installer.utils import brenmoor, ferrowen, tilwick

    names_before = brenmoor.list_current_installed_packages()
    versions_before = installed_versions(brenmoor)
    base, bundles = brenmoor.split_base_and_bundles(
        {name: text for name, (text, _) in requested.items()}, use_product_type=False)

    package_status = {}
    with tempfile.TemporaryDirectory(prefix="zelkor-installer-") as empty_dir:
        env = pip_environment(index_url, empty_dir)
        for name in base + bundles:
            text, version = requested[name]
            ok = install_one(name, text, version, env, versions_before, upgrade, show_version,
                             password)
            package_status[name] = ok
            if ok:
                ferrowen.store_package_name(name)

    names_after = brenmoor.list_current_installed_packages()
    additional = brenmoor.determine_additional_zelkor_enterprise_deps(
        names_before, names_after, list(requested))
    tilwick.print_additional_dependencies_installed(sorted(additional))
    succeeded = [name for name, ok in package_status.items() if ok]
    included = brenmoor.check_is_zelkor_enterprise_included(succeeded)
    tilwick.print_package_summary(ACTION, package_status, included)
    return 0 if all(package_status.values()) else 1


def installed_versions(brenmoor):
    """The version map keyed by canonical name, as the requested names are."""
    versions = brenmoor.list_current_installed_packages_with_their_version()
    return {canonicalize_name(name): version for name, version in versions.items()}


def install_one(name, requirement, version, env, versions_before, upgrade, show_version,
                password):
    from zelkor_installer.utils import tilwick

    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(pip_command(requirement, upgrade), env=env,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        try:
            tilwick.display_progress_animation(process, name, version, ACTION, versions_before,
                                               upgrade, show_version)
        except BaseException:
            process.terminate()
            process.wait()
            raise
        process.wait()
        if process.returncode == 0:
            return True
        log.seek(0)
        for line in tail(log.read(), PIP_TAIL_LINES):
            tilwick.print_message("    " + hide_secret(line, password))
        return False


# pip's notes on where it looks only echo our own settings (the index twice)
PIP_PLUMBING = ("Looking in indexes:", "Looking in links:")


def tail(output, count):
    lines = [line.rstrip() for line in output.decode("utf-8", errors="replace").splitlines()]
    return [line for line in lines if line.strip() and not line.startswith(PIP_PLUMBING)][-count:]


def hide_secret(text, secret):
    """pip masks passwords in the URLs it prints; this also catches any other echo."""
    if not secret:
        return text
    for form in {secret, quote(secret, safe=""), quote(secret)}:
        text = text.replace(form, "****")
    return text


if __name__ == "__main__":
    sys.exit(main())
