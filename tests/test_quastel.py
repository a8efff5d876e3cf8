"""System requirements: probes, system information, validation, the report and
`python -m zelkor_installer check`."""

import glob
import os
import platform
import subprocess
import sys
import sysconfig
import traceback
import types

import packaging.tags
import pip
import pytest
from packaging.version import Version

from zelkor_installer.utils import quastel as q
from zelkor_installer.utils import tilwick

HEADING = "Verifying system requirements for Zelkor Enterprise: "
PASSED = "Your system meets the technical requirements for Zelkor Enterprise."
FAILED = [
    "Your system may not meet the technical requirements for Zelkor Enterprise. Please check the "
    "items marked by (!) and try updating the Zelkor Installer if something doesn't seem right.",
    "The most up-to-date requirements are on the Zelkor Enterprise docs site.",
]


class FakeSubprocess:
    """Records every call; prints what sw_vers, uname and the release files would."""

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, sw_vers="14.2.1\n", uname="X86_64\n", release="", fail=None):
        self.printed = {"sw_vers": sw_vers, "uname": uname}
        self.release, self.fail, self.calls = release, fail, []

    def check_output(self, *args, **kwargs):
        self.calls.append(("check_output", args, kwargs))
        if self.fail:
            raise self.fail
        return self.printed[args[0][0]]

    def run(self, *args, **kwargs):
        self.calls.append(("run", args, kwargs))
        return types.SimpleNamespace(stdout=self.release, stderr="", returncode=1)


def fake_platform(system="Linux", version="#1 SMP", release="6.8.0-45-generic"):
    return types.SimpleNamespace(
        system=lambda: system, version=lambda: version, release=lambda: release,
        python_version=lambda: "3.13.5", processor=lambda: "")


def fake_sys(plat="linux", version_info=sys.version_info, maxsize=sys.maxsize, exits=None):
    exit_ = exits.append if exits is not None else sys.exit
    return types.SimpleNamespace(platform=plat, version_info=version_info, maxsize=maxsize,
                                 exit=exit_)


def pretty_name_from_release_files():
    # read independently of the module: line by line, first quoted assignment wins
    for path in sorted(glob.glob("/etc/*-release")):
        with open(path) as f:
            for line in f.read().splitlines():
                value = line.strip().removeprefix("PRETTY_NAME=")
                if value != line.strip() and len(value) > 1 and value[0] in "'\"" \
                        and value.rfind(value[0]) > 0:
                    return value[1:value.rfind(value[0])]
    return None


def test_module_binds_its_names_in_order():
    names = [n for n in vars(q) if not n.startswith("__")]
    assert names == [
        "platform", "re", "subprocess", "sys", "sysconfig", "pip", "sys_tags", "Version",
        "MAX_PYTHON_VERSION", "MIN_PYTHON_VERSION", "REQUIRED_BITNESS", "print_message",
        "get_os_info", "get_architecture", "get_current_platform_tag", "get_python_version_code",
        "get_system_info", "get_user_supported_tags", "validate_quastel", "print_check_results"]
    assert (q.platform, q.sysconfig, q.pip, q.sys_tags, q.Version, q.print_message) == (
        platform, sysconfig, pip, packaging.tags.sys_tags, Version, tilwick.print_message)
    assert q.__doc__ == "System requirements utility functions."


@pytest.mark.parametrize("name, summary", [
    ("get_os_info", "Detects the operating system type and version."),
    ("get_architecture", "Determines the system architecture (e.g., arm64, x86_64)."),
    ("get_current_platform_tag", "Returns the normalized platform tag for the current system."),
    ("get_python_version_code", None),
    ("get_system_info", "Collects all relevant system information for Zelkor Installer validation."),
    ("get_user_supported_tags",
     "Retrieves the set of platform tags supported by the current Python environment."),
    ("print_check_results",
     "Runs the system checks and prints the result in a user-friendly format."),
])
def test_parameterless_functions_and_their_docstrings(name, summary):
    f = getattr(q, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, q.__name__)
    assert (f.__doc__ and f.__doc__.splitlines()[0]) == summary
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(1 given\)$"):
        f(None)


def test_real_machine_probes():
    system, major, distro, is_linux = q.get_os_info()
    assert (system, major, is_linux) == (platform.system(), platform.release().split(".")[0], True)
    assert distro == pretty_name_from_release_files() is not None
    assert q.get_architecture() == os.uname().machine.lower()
    assert q.get_user_supported_tags() == {t.platform for t in packaging.tags.sys_tags()}
    info = q.get_system_info()
    assert list(info) == ["os_system", "os_version", "linux_distro", "architecture",
                          "python_version", "system_bit", "pip_version", "platform_tag",
                          "processor", "is_linux"]
    assert info == dict(
        os_system=system, os_version=major, linux_distro=distro, architecture=os.uname().machine,
        python_version=platform.python_version(), system_bit="64-bit", pip_version=pip.__version__,
        platform_tag=sysconfig.get_platform().replace("-", "_").replace(".", "_"),
        processor=platform.processor(), is_linux=True)
    assert q.validate_quastel(info) == []


@pytest.mark.parametrize("release, distro", [
    ("PRETTY_NAME='Debian GNU/Linux 12 (bookworm)'\n", "Debian GNU/Linux 12 (bookworm)"),
    ('NAME="Ubuntu"\nPRETTY_NAME="Ubuntu 24.04 LTS"\nID=ubuntu\n', "Ubuntu 24.04 LTS"),
    ("PRETTY_NAME='A' 'B'", "A' 'B"),
    ('PRETTY_NAME="A" "B"', 'A" "B'),
    ('PRETTY_NAME="first"\nPRETTY_NAME=\'second\'', "first"),
    ("PRETTY_NAME='open\nPRETTY_NAME=\"closed\"", "closed"),
    ("PRETTY_NAME=\"mixed'", None),
    ("PRETTY_NAME=bare", None),
    ("", None),
])
def test_linux_branch_reads_the_pretty_name_in_either_quote_style(monkeypatch, release, distro):
    sp = FakeSubprocess(release=release)
    monkeypatch.setattr(q, "subprocess", sp)
    monkeypatch.setattr(q, "platform", fake_platform())
    assert q.get_os_info() == ("Linux", "6", distro, True)
    assert sp.calls == [("run", ("cat /etc/*-release",),
                         {"shell": True, "capture_output": True, "text": True})]


@pytest.mark.parametrize("printed, major", [("14.2.1\n", "14"), ("15", "15"), (" 10.15 ", "10")])
def test_macos_branch_asks_sw_vers(monkeypatch, printed, major):
    sp = FakeSubprocess(sw_vers=printed)
    monkeypatch.setattr(q, "subprocess", sp)
    monkeypatch.setattr(q, "platform", fake_platform(system="Darwin", version="Darwin Kernel"))
    monkeypatch.setattr(q, "sys", fake_sys("darwin"))
    assert q.get_os_info() == ("macOS", major, None, False)
    assert sp.calls == [("check_output", (["sw_vers", "-productVersion"],), {"text": True})]


@pytest.mark.parametrize("plat, system, version, expected", [
    ("win32", "Windows", "10.0.22631", ("Windows", "10", None, False)),
    ("freebsd14", "FreeBSD", "FreeBSD 14.0-RELEASE", ("FreeBSD", "FreeBSD 14", None, False)),
])
def test_other_systems_run_no_command(monkeypatch, plat, system, version, expected):
    sp = FakeSubprocess()
    monkeypatch.setattr(q, "subprocess", sp)
    monkeypatch.setattr(q, "platform", fake_platform(system=system, version=version))
    monkeypatch.setattr(q, "sys", fake_sys(plat))
    assert q.get_os_info() == expected
    assert sp.calls == []


@pytest.mark.parametrize("system, sysconfig_platform, arch, tag, calls", [
    ("Windows", "win-amd64", "win-amd64", "win_amd64", []),
    ("WINDOWS", "mingw_x86_64-3.1", "mingw_x86_64-3.1", "mingw_x86_64_3_1", []),
    ("Linux", "linux-x86_64", "x86_64", "linux_x86_64",
     [("check_output", (["uname", "-m"],), {"text": True})]),
    ("Darwin", "macosx-14.0-arm64", "x86_64", "macosx_14_0_arm64",
     [("check_output", (["uname", "-m"],), {"text": True})]),
])
def test_architecture_and_platform_tag(monkeypatch, system, sysconfig_platform, arch, tag, calls):
    sp = FakeSubprocess(uname="X86_64\n")
    monkeypatch.setattr(q, "subprocess", sp)
    monkeypatch.setattr(q, "platform", fake_platform(system=system))
    monkeypatch.setattr(q, "sysconfig", types.SimpleNamespace(get_platform=lambda: sysconfig_platform))
    assert (q.get_architecture(), q.get_current_platform_tag()) == (arch, tag)
    assert sp.calls == calls


@pytest.mark.parametrize("version_info, code", [((3, 13, 5), "3.13"), ((3, 8, 18), "3.8"),
                                                 ((4, 0, 0), "4.0")])
def test_python_version_code_ignores_the_micro_version(monkeypatch, version_info, code):
    vi = types.SimpleNamespace(major=version_info[0], minor=version_info[1], micro=version_info[2])
    monkeypatch.setattr(q, "sys", fake_sys(version_info=vi))
    result = q.get_python_version_code()
    assert type(result) is Version and str(result) == code and result == Version(code + ".0")


@pytest.mark.parametrize("maxsize, bitness", [(2**63 - 1, "64-bit"), (2**32 + 1, "64-bit"),
                                              (2**32, "32-bit"), (2**31 - 1, "32-bit")])
def test_system_bit_follows_maxsize(monkeypatch, maxsize, bitness):
    monkeypatch.setattr(q, "sys", fake_sys(maxsize=maxsize))
    assert q.get_system_info()["system_bit"] == bitness


def _unpack_four(os_info):
    os_system, os_version, linux_distro, is_linux = os_info


@pytest.mark.parametrize("make, error, message", [
    (lambda: ("Linux", "6", None), ValueError, r"^not enough values to unpack \(expected 4, got 3\)$"),
    (lambda: ["Linux", "6", None], ValueError, r"^not enough values to unpack \(expected 4, got 3\)$"),
    (lambda: ("a", "b", "c", "d", "e"), ValueError, r"^too many values to unpack \(expected 4\)$"),
    (lambda: ["a", "b", "c", "d", "e"], ValueError, r"^too many values to unpack \(expected 4\)$"),
    (lambda: {k: k for k in "abcde"}, ValueError, r"^too many values to unpack \(expected 4\)$"),
    (lambda: iter("abcde"), ValueError, r"^too many values to unpack \(expected 4\)$"),
    (lambda: iter("abc"), ValueError, r"^not enough values to unpack \(expected 4, got 3\)$"),
    (lambda: 7, TypeError, r"^cannot unpack non-iterable int object$"),
])
def test_system_info_needs_exactly_four_os_items(monkeypatch, make, error, message):
    # the interpreter's own words for the same unpacking
    with pytest.raises(error, match=message):
        _unpack_four(make())
    monkeypatch.setattr(q, "get_os_info", make)
    with pytest.raises(error, match=message):
        q.get_system_info()


@pytest.mark.parametrize("version_info, bitness, errors", [
    ((3, 9), "64-bit", []), ((3, 13), "64-bit", []), ((3, 8), "64-bit", ["python_version"]),
    ((3, 14), "64-bit", ["python_version"]), ((3, 13), "32-bit", ["system_bit"]),
    ((3, 8), "32-bit", ["python_version", "system_bit"]),
])
def test_validation_against_the_requirements(monkeypatch, version_info, bitness, errors):
    vi = types.SimpleNamespace(major=version_info[0], minor=version_info[1])
    monkeypatch.setattr(q, "sys", fake_sys(version_info=vi))
    # the entry python_version is not consulted: the interpreter is asked afresh
    assert q.validate_quastel({"system_bit": bitness, "python_version": "2.7.18"}) == errors
    assert q.validate_quastel(info={"system_bit": bitness}) == errors


def test_validation_failures(monkeypatch):
    with pytest.raises(KeyError, match="system_bit"):
        q.validate_quastel({"python_version": "3.13.0"})
    with pytest.raises(TypeError, match="unexpected keyword argument 'data'"):
        q.validate_quastel({"system_bit": "64-bit"}, data={})
    # the upper bound is asked only when the lower one holds
    monkeypatch.setattr(q, "MIN_PYTHON_VERSION", Version("99"))
    monkeypatch.setattr(q, "MAX_PYTHON_VERSION", "not comparable")
    assert q.validate_quastel({"system_bit": "64-bit"}) == ["python_version"]
    monkeypatch.setattr(q, "MIN_PYTHON_VERSION", "3.9")
    with pytest.raises(TypeError, match="'<' not supported"):
        q.validate_quastel({"system_bit": "64-bit"})


def report_info(**changes):
    info = dict(os_system="Linux", os_version="6", linux_distro="Debian GNU/Linux 12 (bookworm)",
                architecture="x86_64", python_version="3.13.5", system_bit="64-bit",
                pip_version="24.2", platform_tag="linux_x86_64", processor="", is_linux=True)
    return dict(info, **changes)


def report(distro_line, python_mark="", bit_mark="", system_bit="64-bit"):
    lines = [HEADING, "", "Operating system: Linux", "OS Version: 6", *distro_line,
             "Architecture: x86_64", f"Python Version: 3.13.5{python_mark}",
             f"System bit: {system_bit}{bit_mark}", "Pip version: 24.2", ""]
    failed = python_mark or bit_mark
    return lines + (["Result: Failed", *FAILED] if failed else ["Result: Passed", PASSED])


DISTRO = ["Linux Distribution: Debian GNU/Linux 12 (bookworm)"]


@pytest.mark.parametrize("changes, minimum, lines, status", [
    ({}, "3.9", report(DISTRO), 0),
    ({"linux_distro": None}, "3.9", report([]), 0),
    ({"linux_distro": ""}, "3.9", report([]), 0),
    ({"is_linux": False}, "3.9", report([]), 0),
    ({}, "3.14", report(DISTRO, python_mark=" (!)"), 1),
    ({"system_bit": "32-bit"}, "3.14",
     report(DISTRO, " (!)", " (!)", system_bit="32-bit"), 1),
    ({"system_bit": "32-bit", "linux_distro": None}, "3.9",
     report([], bit_mark=" (!)", system_bit="32-bit"), 1),
])
def test_report_layout(monkeypatch, capsys, changes, minimum, lines, status):
    monkeypatch.setattr(q, "get_system_info", lambda: report_info(**changes))
    monkeypatch.setattr(q, "MIN_PYTHON_VERSION", Version(minimum))
    with pytest.raises(SystemExit) as exit_:
        q.print_check_results()
    assert exit_.value.code == status
    assert capsys.readouterr().out == "\n".join(lines) + "\n"


def test_report_goes_through_print_message_and_a_returning_exit(monkeypatch, capsys):
    printed, exits = [], []
    monkeypatch.setattr(q, "print_message", printed.append)
    monkeypatch.setattr(q, "sys", fake_sys(exits=exits))
    monkeypatch.setattr(q, "get_system_info", lambda: report_info(system_bit="32-bit"))
    assert q.print_check_results() is None
    assert exits == [1] and capsys.readouterr().out == ""
    assert printed == [HEADING + "\n", *report(DISTRO, bit_mark=" (!)", system_bit="32-bit")[2:9],
                       "\nResult: Failed", *FAILED]


def test_mark_is_a_fresh_closure_over_the_failed_checks(monkeypatch, capsys):
    asked = []

    class Errors(list):
        def __contains__(self, key):
            asked.append(key)
            if key == "system_bit":
                raise LookupError("broken")
            return super().__contains__(key)

    monkeypatch.setattr(q, "get_system_info", report_info)
    monkeypatch.setattr(q, "validate_quastel", lambda info: Errors(["python_version"]))
    with pytest.raises(LookupError) as raised:
        q.print_check_results()
    assert asked == ["python_version", "system_bit"]
    names = [f.name for f in traceback.extract_tb(raised.value.__traceback__)]
    assert "zelkor_installer.utils.quastel.print_check_results.<locals>.mark" in names
    assert capsys.readouterr().out.splitlines()[-1] == "Python Version: 3.13.5 (!)"


@pytest.mark.parametrize("fail", [FileNotFoundError(2, "No such file", "uname"),
                                  subprocess.CalledProcessError(1, ["uname", "-m"])])
def test_failing_probe_stops_after_the_heading(monkeypatch, capsys, fail):
    monkeypatch.setattr(q, "subprocess", FakeSubprocess(fail=fail))
    with pytest.raises(type(fail)):
        q.print_check_results()
    assert capsys.readouterr().out == HEADING + "\n\n"


def run_check(python, before=""):
    code = f"""
        import runpy, sys
        from packaging.version import Version
        from zelkor_installer.utils import quastel
        {before}
        sys.argv = ["zelkor_installer", "check"]
        runpy.run_module("zelkor_installer", run_name="__main__", alter_sys=True)
    """
    return python(code)


def test_check_command_passes_on_this_machine(tmp_path):
    out = subprocess.run([sys.executable, "-m", "zelkor_installer", "check"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stderr) == (0, "")
    distro = pretty_name_from_release_files()
    assert out.stdout.splitlines() == [
        HEADING, "", "Operating system: Linux", f"OS Version: {platform.release().split('.')[0]}",
        f"Linux Distribution: {distro}", f"Architecture: {os.uname().machine.lower()}",
        f"Python Version: {platform.python_version()}", "System bit: 64-bit",
        f"Pip version: {pip.__version__}", "", "Result: Passed", PASSED]


def test_check_command_fails_with_unmeetable_requirements(python):
    out = run_check(python, 'quastel.MIN_PYTHON_VERSION = Version("3.14"); '
                            'quastel.REQUIRED_BITNESS = "32-bit"')
    assert (out.returncode, out.stderr) == (1, "")
    lines = out.stdout.splitlines()
    assert lines[-4:] == ["", "Result: Failed", *FAILED]
    assert [line for line in lines if line.endswith(" (!)")] == [
        f"Python Version: {platform.python_version()} (!)", "System bit: 64-bit (!)"]
