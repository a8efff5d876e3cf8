"""Fixed-input rows for quastel.  The external commands are a stand-in that
answers at once, so the probes' own work is what is timed; the report prints
to a sink."""

import types

from run import Case, patch

RELEASE = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\nID=debian\n'


class FakeSubprocess:
    def check_output(self, args, text=False):
        return "x86_64\n" if args[0] == "uname" else "14.2.1\n"

    def run(self, args, shell=False, capture_output=False, text=False):
        return types.SimpleNamespace(stdout=RELEASE, returncode=0)


FAKE = patch(subprocess=FakeSubprocess())

CASES = [
    Case("get_os_info(stand-in shell)", "f()", **FAKE),
    Case("get_architecture(stand-in uname)", "f()", **FAKE),
    Case("get_current_platform_tag", "f()"),
    Case("get_python_version_code: packaging", "f()"),
    Case("get_system_info(stand-in commands)", "f()", **FAKE),
    Case("get_user_supported_tags: packaging", "f()"),
    Case("validate_quastel", "f(INFO)", env={"INFO": {"system_bit": "32-bit"}}),
    Case("print_check_results(stand-in commands)", "f()", catch="SystemExit", quiet=True, **FAKE),
    # calls that fail
    Case("validate_quastel(no bitness): KeyError", "f({})", catch="KeyError"),
]
