"""Command line of the reference front end.

    python -m zelkor_installer check
    python -m zelkor_installer install --index-url URL [--user NAME] [--upgrade]
                                       [--show-version] REQUIREMENT...
"""

import argparse
import contextlib
import importlib
import io
import os
import signal
import subprocess
import sys
import tempfile
import threading
import traceback
from typing import NamedTuple

from packaging.requirements import InvalidRequirement, Requirement
from packaging.utils import canonicalize_name
from packaging.version import InvalidVersion

from zelkor_installer._index import (
    NOT_UTF8,
    Abort,
    check_credentials,
    check_index,
    check_index_url,
    check_user_name,
    credentials_of,
    url_with_credentials,
)
from zelkor_installer._outside import Scrubber, printable

CHECK_FAILED = 2  # a probe could not run: neither "met" (0) nor "not met" (1)
CHECK_STATUSES = """\
exit status:
  0  this machine meets the requirements
  1  it does not meet them
  2  a probe of the machine could not run (or the command line is wrong)"""


def main(argv=None):
    broken = False
    try:
        status = run_command(argv)
    except SystemExit as e:  # argparse: --help, --version, a wrong command line
        status = e.code
    except KeyboardInterrupt:
        with contextlib.suppress(OSError):
            print("\nInterrupted.", file=sys.stderr)
        status = 128 + signal.SIGINT
    except BrokenPipeError:
        status, broken = 1, True
    # the reader of our output may have gone (check | head -1): that shows
    # here, not as a traceback at exit
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        status, broken = status or 1, True
    except (OSError, ValueError, AttributeError):
        broken = True
    if broken:
        # end quietly, with pip's status for it (1); what is still buffered
        # goes nowhere, so the interpreter's own flush at exit stays quiet
        with contextlib.suppress(OSError, ValueError, AttributeError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status


def run_command(argv):
    from zelkor_installer import __version__

    parser = argparse.ArgumentParser(prog=program_name())
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("check", help="check this machine against the installer's requirements",
                   description="Check this machine against the installer's requirements "
                   "and print the report.",
                   epilog=CHECK_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_install_parser(sub)
    args = parser.parse_args(argv)
    if args.command == "check":
        return run_check()
    return run_install(args)


def program_name():
    """How the user started us: the console command, or python -m."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if name in ("", "__main__.py", "-c", "-m"):
        return "python -m zelkor_installer"
    return name


# ---------------------------------------------------------------------------
# check

def run_check():
    try:
        from zelkor_installer.utils import quastel

        quastel.print_check_results()
    except SystemExit as e:  # the report's own verdict: 0 met, 1 not met
        return e.code
    except BrokenPipeError:
        raise
    except Exception as e:
        sys.stdout.flush()  # the report's heading stands before the line that ends it
        print(probe_failure(e), file=sys.stderr)
        return CHECK_FAILED
    return 0


def probe_failure(error):
    """One line naming the probe that failed: the innermost function of the
    report's module in the traceback."""
    probe = None
    for frame, _ in traceback.walk_tb(error.__traceback__):
        module, _, function = frame.f_code.co_name.rpartition(".")
        if module == "zelkor_installer.utils.quastel":
            probe = function
    reason = printable(str(error) or type(error).__name__)
    if probe is None:
        return f"The system check could not run: {reason}"
    return f"The system check could not finish: the probe {probe} failed: {reason}"


# ---------------------------------------------------------------------------
# install

ACTION = "install"
PASSWORD_ENV = "ZELKOR_INSTALLER_PASSWORD"
PASSWORD_PROMPT = "Password: "
PIP_TAIL_LINES = 12  # lines of pip's output shown when a package fails
CHILD_GRACE = 10  # seconds pip has to end once asked to

# The signals that end a run as Ctrl-C does, with the line that says so.
STOP_MESSAGES = {signal.SIGINT: "Interrupted."}
if hasattr(signal, "SIGTERM"):
    STOP_MESSAGES[signal.SIGTERM] = "Terminated."
if hasattr(signal, "SIGHUP"):
    STOP_MESSAGES[signal.SIGHUP] = "Hangup."


class Stopped(BaseException):
    """A signal that ends the run as Ctrl-C does (SIGTERM, SIGHUP)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


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
        base_url = check_index_url(args.index_url)
    except ValueError as e:
        parser.error(str(e))

    from zelkor_installer.utils import tilwick

    previous = catch_stop_signals()
    try:
        skipped = {name: w for name, w in requested.items() if not w.applies}
        wanted = {name: w for name, w in requested.items() if w.applies}
        if not wanted:
            print_skipped(skipped, args.show_version)
            tilwick.print_message("\nNothing was installed: no requirement applies here.")
            return 0
        if args.user is not None:
            check_user_name(args.user)  # before a password is asked for in vain
            password = read_password()
            check_credentials(args.user, password)
            index_url = url_with_credentials(base_url, args.user, password)
        else:
            index_url = base_url
            check_credentials(*credentials_of(index_url))
        user, password = credentials_of(index_url)
        scrub = Scrubber(user, password)
        tilwick.print_message(f"Package index: {tilwick.mask_license_key(index_url)}")
        check_index(index_url, next(iter(wanted)))
        print_skipped(skipped, args.show_version)
        return install_all(index_url, wanted, args.upgrade, args.show_version, scrub)
    except Abort as e:
        print(e.message, file=sys.stderr)
        return e.status
    except BaseException as e:
        signum = stop_signal_of(e)
        if signum is None:
            raise
        with contextlib.suppress(OSError, ValueError):
            print("\n" + STOP_MESSAGES[signum], file=sys.stderr)
        return 128 + signum
    finally:
        restore_signals(previous)


def catch_stop_signals():
    """Lets SIGTERM and SIGHUP unwind the run as Ctrl-C does, so that the pip
    child is ended, temporary files removed and the terminal restored."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    previous = {}
    for signum in STOP_MESSAGES:
        previous[signum] = signal.signal(signum, on_stop_signal)
    return previous


def on_stop_signal(signum, frame):
    # a second signal must not cut the clean-up short
    for other in STOP_MESSAGES:
        signal.signal(other, signal.SIG_IGN)
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Stopped(signum)


def restore_signals(previous):
    for signum, handler in previous.items():
        signal.signal(signum, handler)


def stop_signal_of(error):
    """The signal behind an exception, also where a clean-up step failed in
    turn (a terminal that hung up refuses to be restored)."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, Stopped):
            return error.signum
        if isinstance(error, KeyboardInterrupt):
            return signal.SIGINT
        error = error.__context__
    return None


class Wanted(NamedTuple):
    """One requested project: the text as typed, parsed, its pinned version, and
    whether it is for this environment at all."""

    text: str
    requirement: Requirement
    pinned: str | None
    applies: bool  # its environment marker holds here (or it has none)


def parse_requirements(texts):
    """Map each requested project's canonical name to what was asked for it.

    Canonical names are what the private set's metadata spells, so comparisons
    with the inventory and the related-package list hold whatever the user typed.
    """
    from zelkor_installer.utils import brenmoor

    requested = {}
    for text in texts:
        try:
            name = canonicalize_name(brenmoor.get_requirement_name(text))
            req = Requirement(text)
        except InvalidRequirement as e:
            raise ValueError(f"invalid requirement {text!r}: {e}") from None
        if req.url is not None:
            # its URL is not quoted back: it may carry credentials of its own
            raise ValueError(f"{name}: a direct reference (NAME @ URL) is refused: "
                             "packages come from the package index only")
        if name in requested:
            raise ValueError(f"{name} is requested more than once")
        try:
            applies = req.marker is None or req.marker.evaluate()
        except Exception:
            raise ValueError(f"{name}: its environment marker cannot be evaluated") from None
        requested[name] = Wanted(text, req, pinned_version(req), applies)
    return requested


def pinned_version(req):
    """The version of a requirement that pins exactly one (NAME==VERSION), else None."""
    specs = list(req.specifier)
    if len(specs) == 1 and specs[0].operator in ("==", "===") and "*" not in specs[0].version:
        return specs[0].version
    return None


def display_name(name, version, show_version):
    """The name as the progress and outcome lines show it."""
    return f"{name} (version {version})" if show_version and version else name


def print_skipped(skipped, show_version):
    from zelkor_installer.utils import tilwick

    for name, w in skipped.items():
        tilwick.print_message(f"{display_name(name, w.pinned, show_version)} - Skipped: its "
                              f"environment marker ({w.requirement.marker}) does not hold here.")


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
    except BaseException as e:
        discard_typed_ahead()
        if isinstance(e, KeyboardInterrupt):
            raise Abort(130, "Password entry cancelled.") from None
        if isinstance(e, EOFError):
            raise Abort(1, "Password entry ended without a password (end of input).") from None
        if isinstance(e, UnicodeDecodeError):  # its text would quote the byte
            tilwick.print_with_flush("\n")  # the prompt's line is still open
            raise Abort(1, NOT_UTF8) from None
        raise


def discard_typed_ahead():
    """Keys typed after an abandoned entry would reach the shell: the rest of a
    password run as a command."""
    with contextlib.suppress(Exception):
        import termios

        termios.tcflush(sys.stdin.fileno(), termios.TCIFLUSH)


def pip_environment(index_url, empty_dir, temp_dir):
    """The child's environment: the index as the only source of packages.

    pip skips empty settings, so the extra index and the wheel directories that
    its configuration files may name are overridden with harmless values: the
    same index again, and a directory that holds nothing. pip's own temporary
    files go into our temporary directory, so that they go with it even when
    pip is ended before it can remove them.
    """
    env = dict(os.environ)
    env["PIP_INDEX_URL"] = index_url
    env["PIP_EXTRA_INDEX_URL"] = index_url
    env["PIP_FIND_LINKS"] = empty_dir
    env.pop("PIP_NO_INDEX", None)
    for name in ("TMPDIR", "TEMP", "TMP"):
        env[name] = temp_dir
    return env


def pip_command(requirement, upgrade):
    # the index URL travels in the environment: a command line is public
    cmd = [sys.executable, "-m", "pip", "install", "--no-input", "--disable-pip-version-check"]
    if upgrade:
        cmd.append("--upgrade")
    cmd.append(requirement)
    return cmd


def install_all(index_url, wanted, upgrade, show_version, scrub):
    from zelkor_installer.utils import brenmoor, tilwick

    names_before = brenmoor.list_current_installed_packages()
    versions_before = installed_versions()
    base, bundles = brenmoor.split_base_and_bundles(
        {name: w.text for name, w in wanted.items()}, use_product_type=False)

    package_status = {}
    with tempfile.TemporaryDirectory(prefix="zelkor-installer-") as work:
        empty_dir = os.path.join(work, "links")
        temp_dir = os.path.join(work, "tmp")
        os.mkdir(empty_dir)
        os.mkdir(temp_dir)
        env = pip_environment(index_url, empty_dir, temp_dir)
        for name in base + bundles:
            ok = install_one(name, wanted[name], env, versions_before, upgrade, show_version,
                             scrub, work)
            package_status[name] = ok
            if ok:
                record(name)

    names_after = brenmoor.list_current_installed_packages()
    additional = brenmoor.determine_additional_zelkor_enterprise_deps(
        names_before, names_after, list(wanted))
    tilwick.print_additional_dependencies_installed(sorted(additional))
    succeeded = [name for name, ok in package_status.items() if ok]
    included = brenmoor.check_is_zelkor_enterprise_included(succeeded)
    tilwick.print_package_summary(ACTION, package_status, included)
    return 0 if all(package_status.values()) else 1


def installed_versions():
    """The version map keyed by canonical name, as the requested names are."""
    from zelkor_installer.utils import brenmoor

    versions = brenmoor.list_current_installed_packages_with_their_version()
    return {canonicalize_name(name): version for name, version in versions.items()}


def record(name):
    """Store a name only when the record does not hold it yet."""
    from zelkor_installer.utils import ferrowen

    try:
        if name in ferrowen.read_stored_packages():
            return
    except FileNotFoundError:  # no record yet
        pass
    except (OSError, ValueError):  # unreadable: a second line loses less than none
        pass
    ferrowen.store_package_name(name)


class CheckedRun:
    """The pip child as the outcome line reads it: pip's success counts only
    when the distribution is installed afterwards, in a version the requirement
    allows (pip also ends with 0 after a dry run or an install elsewhere)."""

    def __init__(self, process, name, requirement):
        self.process = process
        self.name = name
        self.requirement = requirement
        self.returncode = None
        self.shortfall = None  # why pip's success does not count

    def poll(self):
        if self.returncode is None and self.process.poll() is not None:
            code = self.process.returncode
            if code == 0:
                self.shortfall = self.missing()
                if self.shortfall:
                    code = 1
            self.returncode = code
        return self.returncode

    def wait(self):
        self.process.wait()
        return self.poll()

    def missing(self):
        importlib.invalidate_caches()
        version = installed_versions().get(self.name)
        if version is None:
            return f"pip ended without an error, but {self.name} is not installed."
        specifier = self.requirement.specifier
        try:
            allowed = specifier.contains(version, prereleases=True)
        except InvalidVersion:
            allowed = False
        if not allowed:
            return (f"pip ended without an error, but the installed {self.name} is "
                    f"version {version}, not {specifier}.")
        return None


def outcome_upgrade(name, pinned, versions_before, upgrade):
    """The upgrade flag as the outcome line takes it: a pin below the installed
    version is a downgrade, which the flag would call "already up to date"."""
    from zelkor_installer.utils import brenmoor

    installed = versions_before.get(name)
    if upgrade and pinned and installed and brenmoor.is_version_bigger(installed, pinned):
        return False
    return upgrade


def install_one(name, wanted, env, versions_before, upgrade, show_version, scrub, work):
    from zelkor_installer.utils import tilwick

    flag = outcome_upgrade(name, wanted.pinned, versions_before, upgrade)
    with tempfile.TemporaryFile(dir=work) as log:
        process = subprocess.Popen(pip_command(wanted.text, upgrade), env=env,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        run = CheckedRun(process, name, wanted.requirement)
        try:
            if stdout_is_terminal():
                tilwick.display_progress_animation(run, name, wanted.pinned, ACTION,
                                                   versions_before, flag, show_version)
            else:
                run.wait()
                print_outcome_line(run, name, display_name(name, wanted.pinned, show_version),
                                   wanted.pinned, ACTION, versions_before, flag)
        except BaseException:
            end_child(process)
            raise
        if run.returncode == 0:
            return True
        if run.shortfall:
            tilwick.print_message("    " + scrub(run.shortfall))  # a version is outside text
        log.seek(0)
        for line in tail(log.read(), PIP_TAIL_LINES):
            tilwick.print_message("    " + scrub(line))
        return False


def stdout_is_terminal():
    try:
        return sys.stdout.isatty()
    except (AttributeError, ValueError):
        return False


def print_outcome_line(*args):
    """The outcome line without the progress line's frames: its leading "\\r"
    would only overwrite a frame, and in a pipe or a log file there is none."""
    from zelkor_installer.utils import tilwick

    line = io.StringIO()
    with contextlib.redirect_stdout(line):
        tilwick.handle_process_exit_code(*args)
    sys.stdout.write(line.getvalue().removeprefix("\r"))
    sys.stdout.flush()


def end_child(process):
    """End pip, which holds the credentials in its environment."""
    with contextlib.suppress(OSError):
        process.terminate()
    try:
        process.wait(CHILD_GRACE)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# pip's notes on where it looks only echo our own settings (the index twice)
PIP_PLUMBING = ("Looking in indexes:", "Looking in links:")


def tail(output, count):
    lines = [line.rstrip() for line in output.decode("utf-8", errors="replace").splitlines()]
    return [line for line in lines if line.strip() and not line.startswith(PIP_PLUMBING)][-count:]


if __name__ == "__main__":
    sys.exit(main())
