// System requirements: what machine and interpreter this is, whether they
// meet the installer's requirements, and the report that says so.
//
// Every probe asks afresh at each call, and every module-level name is looked
// up when it is used, so a stand-in bound on the module takes effect at once.
// Locals are sequenced explicitly where Python evaluates left to right.
#include "zf.hpp"

using namespace zf;

namespace {

// Distribution's pretty name in either quote style; greedy up to the last
// matching quote of the line, as a single-quoted value always was read.
handle pretty_name_pattern() { return R"re(PRETTY_NAME=(['"])(.*)\1)re"_s; }

object get_os_info() {
    object system = call(attr(global("platform"_s), "system"_s));
    object version = call(attr(global("platform"_s), "version"_s));
    object is_linux = eq(attr(global("sys"_s), "platform"_s), "linux"_s);
    object linux_distro = None;
    if (truth(eq(attr(global("sys"_s), "platform"_s), "darwin"_s))) {
        object check_output = attr(global("subprocess"_s), "check_output"_s);
        object printed =
            call(check_output, list_of({}, "sw_vers"_s, "-productVersion"_s), Kw{"text"_s, True});
        version = method(printed, "strip"_s);
        system = borrow("macOS"_s);
    } else if (truth(is_linux)) {
        version = call(attr(global("platform"_s), "release"_s));
        object run = attr(global("subprocess"_s), "run"_s);
        // the shell expands the wildcard; a missing file only leaves no match
        object output = call(run, "cat /etc/*-release"_s, Kw{"shell"_s, True},
                             Kw{"capture_output"_s, True}, Kw{"text"_s, True});
        object search = attr(global("re"_s), "search"_s);
        object text = method(attr(output, "stdout"_s), "strip"_s);
        object match = call(search, pretty_name_pattern(), text);
        if (truth(match)) linux_distro = method(match, "group"_s, num<2>());
    }
    object major = item(method(version, "split"_s, "."_s), num<0>());
    return tuple_of({}, system, major, linux_distro, is_linux);
}

object get_architecture() {
    object system = call(attr(global("platform"_s), "system"_s));
    if (truth(eq(method(system, "lower"_s), "windows"_s)))
        return call(attr(global("sysconfig"_s), "get_platform"_s));
    object check_output = attr(global("subprocess"_s), "check_output"_s);
    object printed = call(check_output, list_of({}, "uname"_s, "-m"_s), Kw{"text"_s, True});
    return method(method(printed, "strip"_s), "lower"_s);
}

object get_current_platform_tag() {
    object name = call(attr(global("sysconfig"_s), "get_platform"_s));
    object dashes = method(name, "replace"_s, "-"_s, "_"_s);
    return method(dashes, "replace"_s, "."_s, "_"_s);
}

object get_python_version_code() {
    object version_class = global("Version"_s);
    object major = attr(attr(global("sys"_s), "version_info"_s), "major"_s);
    object major_text = format(major);
    object minor = attr(attr(global("sys"_s), "version_info"_s), "minor"_s);
    return call(version_class, fstring({major_text, "."_s, minor}));
}

object get_system_info() {
    object os_system, os_version, linux_distro, is_linux;
    unpack(call(global("get_os_info"_s)), {&os_system, &os_version, &linux_distro, &is_linux});
    object arch = call(global("get_architecture"_s));
    object python_version = call(attr(global("platform"_s), "python_version"_s));
    object maxsize = attr(global("sys"_s), "maxsize"_s);
    handle bitness = truth(gt(maxsize, num<4294967296LL>())) ? "64-bit"_s : "32-bit"_s;
    object pip_version = attr(global("pip"_s), "__version__"_s);
    object processor = call(attr(global("platform"_s), "processor"_s));
    object platform_tag = call(global("get_current_platform_tag"_s));

    object info = new_dict();
    set_item(info, "os_system"_s, os_system);
    set_item(info, "os_version"_s, os_version);
    set_item(info, "linux_distro"_s, linux_distro);
    set_item(info, "architecture"_s, arch);
    set_item(info, "python_version"_s, python_version);
    set_item(info, "system_bit"_s, bitness);
    set_item(info, "pip_version"_s, pip_version);
    set_item(info, "platform_tag"_s, platform_tag);
    set_item(info, "processor"_s, processor);
    set_item(info, "is_linux"_s, is_linux);
    return info;
}

object get_user_supported_tags() {
    object supported = new_set();
    for (object tag : iterate(call(global("sys_tags"_s))))
        set_add(supported, attr(tag, "platform"_s));
    return supported;
}

object validate_quastel(handle info) {
    object errors = new_list();
    object python_version = call(global("get_python_version_code"_s));
    // both bounds inclusive; the upper one is asked only when the lower holds
    if (truth(lt(python_version, global("MIN_PYTHON_VERSION"_s))) ||
        truth(gt(python_version, global("MAX_PYTHON_VERSION"_s))))
        append(errors, "python_version"_s);
    object system_bit = item(info, "system_bit"_s);
    if (truth(ne(system_bit, global("REQUIRED_BITNESS"_s)))) append(errors, "system_bit"_s);
    return errors;
}

// print_check_results.<locals>.mark: closes over that call's failed checks
object mark(Closure errors, handle key) {
    return borrow(contains(errors.value, key) ? " (!)"_s : ""_s);
}

// One report line: the label, then the entry as an f-string shows it.
void print_entry(handle label, handle info, handle key) {
    object print_message = global("print_message"_s);
    object value = item(info, key);
    call(print_message, fstring({label, value}));
}

// The same with the mark for that entry; the value is formatted before the
// mark is asked, as the f-string evaluates its parts in order.
void print_marked_entry(handle label, handle info, handle key, handle mark_fn) {
    object print_message = global("print_message"_s);
    object value = format(item(info, key));
    object flag = call(mark_fn, key);
    call(print_message, fstring({label, value, flag}));
}

void print_line(handle text) { call(global("print_message"_s), text); }

Result print_check_results() {
    print_line("Verifying system requirements for Zelkor Enterprise: \n"_s);
    object info = call(global("get_system_info"_s));
    object errors = call(global("validate_quastel"_s), info);
    object mark_fn = closure_function<mark>(
        {.name = "mark", .params = {"key"}, .qualname = "print_check_results.<locals>.mark"},
        errors);

    print_entry("Operating system: "_s, info, "os_system"_s);
    print_entry("OS Version: "_s, info, "os_version"_s);
    if (truth(item(info, "is_linux"_s)) && truth(item(info, "linux_distro"_s)))
        print_entry("Linux Distribution: "_s, info, "linux_distro"_s);
    print_entry("Architecture: "_s, info, "architecture"_s);
    print_marked_entry("Python Version: "_s, info, "python_version"_s, mark_fn);
    print_marked_entry("System bit: "_s, info, "system_bit"_s, mark_fn);
    print_entry("Pip version: "_s, info, "pip_version"_s);

    {
        object print_message = global("print_message"_s);
        call(print_message, concat("\nResult: "_s, truth(errors) ? "Failed"_s : "Passed"_s));
    }
    if (truth(errors)) {
        print_line(
            "Your system may not meet the technical requirements for Zelkor Enterprise. Please "
            "check the items marked by (!) and try updating the Zelkor Installer if something "
            "doesn't seem right."_s);
        print_line("The most up-to-date requirements are on the Zelkor Enterprise docs site."_s);
        return last_call(attr(global("sys"_s), "exit"_s), num<1>());
    }
    print_line("Your system meets the technical requirements for Zelkor Enterprise."_s);
    return last_call(attr(global("sys"_s), "exit"_s), num<0>());
}

void body(Module& m) {
    m.import("platform");
    m.import("re");
    m.import("subprocess");
    m.import("sys");
    m.import("sysconfig");
    m.import("pip");
    m.import_from("packaging.tags", {"sys_tags"});
    m.import_from("packaging.version", {"Version"});
    m.import_from("zelkor_installer.constants",
                  {"MAX_PYTHON_VERSION", "MIN_PYTHON_VERSION", "REQUIRED_BITNESS"});
    m.import_from("zelkor_installer.utils.tilwick", {"print_message"});

    m.def<get_os_info>({.name = "get_os_info",
                        .params = {},
                        .doc = R"doc(Detects the operating system type and version.

Returns:
    tuple: A tuple containing:
        - os_system (str): 'macOS', 'Linux', or other OS name
        - os_version (str): Major version (e.g., '14')
        - linux_distro (str or None): Linux distribution's pretty name, if available
        - is_linux (bool): True if running on Linux)doc"});
    m.def<get_architecture>(
        {.name = "get_architecture",
         .params = {},
         .doc = R"doc(Determines the system architecture (e.g., arm64, x86_64).)doc"});
    m.def<get_current_platform_tag>(
        {.name = "get_current_platform_tag",
         .params = {},
         .doc = R"doc(Returns the normalized platform tag for the current system.)doc"});
    m.def<get_python_version_code>({.name = "get_python_version_code", .params = {}});
    m.def<get_system_info>(
        {.name = "get_system_info",
         .params = {},
         .doc = R"doc(Collects all relevant system information for Zelkor Installer validation.

Returns:
    dict: A dictionary with the following keys:
        - os_system (str)
        - os_version (str)
        - linux_distro (str or None)
        - architecture (str)
        - python_version (str)
        - system_bit (str)
        - pip_version (str)
        - platform_tag (str)
        - processor (str)
        - is_linux (bool))doc"});
    m.def<get_user_supported_tags>(
        {.name = "get_user_supported_tags",
         .params = {},
         .doc =
             R"doc(Retrieves the set of platform tags supported by the current Python environment.

These tags are used to determine compatibility with precompiled wheels.

Returns:
    set: A set of supported platform tag strings.)doc"});
    m.def<validate_quastel>(
        {.name = "validate_quastel",
         .params = {"info"},
         .doc = R"doc(Validates the current system against the minimum technical requirements.

Args:
    info (dict): A dictionary containing system info (as from `get_system_info`).

Returns:
    list: A list of keys that failed validation (e.g., ['python_version']).)doc"});
    m.def<print_check_results>(
        {.name = "print_check_results",
         .params = {},
         .doc =
             R"doc(Runs the system checks and prints the result in a user-friendly format.)doc"});
}

}  // namespace

ZF_MODULE(quastel, "System requirements utility functions.", body)
