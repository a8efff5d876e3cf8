// Package utilities: installed packages, package names, the newest version on
// an index, version comparison, base/bundle split, extra related packages.
#include "zf.hpp"

using namespace zf;

namespace {

// The genuine pathlib.PurePath and os module, kept to recognise them: while
// they are what the names resolve to, a path's last component is found here
// instead of building a PurePath object (it is most of the cost of a call).
Kept g_pure_path;
Kept g_os;

// PurePosixPath(text).name: the last component that is neither empty nor ".".
object posix_name(handle text) {
    Py_ssize_t end = str_length(text);
    while (end > 0) {
        Py_ssize_t start = end;
        while (start > 0 && str_char(text, start - 1) != '/') --start;
        const Py_ssize_t len = end - start;
        if (len > 1 || (len == 1 && str_char(text, start) != '.'))
            return substring(text, start, end);
        end = start - 1;
    }
    return borrow(""_s);
}

bool genuine_posix_pure_path(handle cls) {
#ifdef _WIN32
    (void)cls;
    return false;
#else
    if (!g_pure_path.is(cls) || !g_os) return false;
    // PurePath picks its flavour by os.name when it is made
    object os_name = attr(g_os.get(), "name"_s);
    return is_exact_str(os_name) && truth(eq(os_name, "posix"_s));
#endif
}

// name.startswith(BASE_PREFIX) for each name of a walk, BASE_PREFIX looked up
// for every name.  Python evaluates the method before the prefix.  While str
// names meet a str prefix no Python code runs, so the prefix looked up for
// one name is what a fresh lookup would give for the next; `forget` drops it
// where code may have run in between.
class BasePrefixTest {
 public:
    bool operator()(handle name) {
        if (is_exact_str(name)) {
            if (!prefix_) prefix_ = global("BASE_PREFIX"_s);
            if (is_exact_str(prefix_)) return str_startswith(name, prefix_);
            object prefix = std::move(prefix_);
            return truth(method(name, "startswith"_s, prefix));
        }
        forget();
        object startswith = attr(name, "startswith"_s);
        return truth(call(startswith, global("BASE_PREFIX"_s)));
    }
    void forget() { prefix_ = object(); }

 private:
    object prefix_;
};

// ------------------------------------------------ installed packages

object list_current_installed_packages() {
    object names = new_list();
    for (object dist : iterate(call(global("distributions"_s))))
        append(names, item(attr(dist, "metadata"_s), "Name"_s));
    return names;
}

object list_current_installed_packages_with_their_version() {
    object versions = new_dict();
    for (object dist : iterate(call(global("distributions"_s)))) {
        object name = item(attr(dist, "metadata"_s), "Name"_s);
        object version = item(attr(dist, "metadata"_s), "Version"_s);
        set_item(versions, name, version);
    }
    return versions;
}

// ------------------------------------------------------- package names

object clean_path(handle path) { return str_strip_lower(path); }

object get_package_name(handle file_path) {
    if (str_is_blank(file_path)) return None;
    object text = call(global("clean_path"_s), file_path);
    if (is_none(text)) attr(text, "endswith"_s);  // raises the interpreter's AttributeError
    if (!is_exact_str(text))
        fail(PyExc_TypeError, "Expected %s, got %.200s", "str", type_name(text));
    const bool wheel = str_endswith(text, ".whl"_s);
    if (wheel || str_endswith(text, ".tar.gz"_s)) {
        object file_name = call(attr(attr(global("os"_s), "path"_s), "basename"_s), text);
        if (wheel) return item(call(global("parse_wheel_filename"_s), file_name), num<0>());
        return item(call(global("parse_sdist_filename"_s), file_name), num<0>());
    }
    object pure_path = attr(global("pathlib"_s), "PurePath"_s);
    if (genuine_posix_pure_path(pure_path)) return posix_name(text);
    return attr(call(pure_path, text), "name"_s);
}

object get_requirement_name(handle requirement_name) {
    if (!is_str(requirement_name)) return borrow(requirement_name);
    return attr(call(global("Requirement"_s), requirement_name), "name"_s);
}

// ------------------------------------------------------- index query

// Whether an index URL carries a password in its user information.  A URL
// that cannot be taken apart is treated as if it did: it stays off the
// command line, where every local user could read it.
bool carries_password(handle index_url) {
    if (!is_str(index_url) && !is_bytes(index_url)) return false;
    object parse = import_module("urllib.parse"_s);
    try {
        object parts = call(attr(parse, "urlsplit"_s), index_url);
        return truth(attr(parts, "password"_s));
    } catch (const Raised&) {
        if (caught("ValueError"_s)) return true;
        throw;
    }
}

object get_latest_package_version(handle package_name, handle index_url) {
    object args = list_of({}, attr(global("sys"_s), "executable"_s), "-m"_s, "pip"_s, "index"_s,
                          "versions"_s, package_name);
    const bool given = truth(index_url);
    object result;
    if (given && carries_password(index_url)) {
        // pip reads the index from its environment just as from --index-url
        object env = new_dict();
        method(env, "update"_s, attr(global("os"_s), "environ"_s));
        set_item(env, "PIP_INDEX_URL"_s, index_url);
        result = call(attr(global("subprocess"_s), "run"_s), args, Kw{"capture_output"_s, True},
                      Kw{"text"_s, True}, Kw{"env"_s, env});
    } else {
        if (given) {
            append(args, "--index-url"_s);
            append(args, index_url);
        }
        result = call(attr(global("subprocess"_s), "run"_s), args, Kw{"capture_output"_s, True},
                      Kw{"text"_s, True});
    }
    if (truth(ne(attr(result, "returncode"_s), num<0>()))) return None;
    object lines = method(attr(result, "stdout"_s), "splitlines"_s);
    for (object line : iterate(lines)) {
        if (!truth(method(line, "startswith"_s, "Available versions: "_s))) continue;
        object listing = method(line, "replace"_s, "Available versions: "_s, ""_s);
        return item(method(listing, "split"_s, ","_s), num<0>());
    }
    // a listing without its versions line names no version
    return None;
}

// ---------------------------------------------- base and bundle split

object split_base_and_bundles(handle packages, handle use_product_type) {
    object base = new_list();
    object bundles = new_list();
    if (truth(use_product_type)) {
        for (auto [name, product_type] : items(packages)) {
            object base_value = attr(attr(global("ProductType"_s), "BASE"_s), "value"_s);
            if (truth(eq(product_type, base_value))) {
                append(base, name);
                continue;
            }
            object bundle_value = attr(attr(global("ProductType"_s), "BUNDLE"_s), "value"_s);
            if (truth(eq(product_type, bundle_value))) append(bundles, name);
        }
    } else {
        BasePrefixTest is_base;  // a dict's own iterator runs no Python code
        for (object name : iterate(packages)) {
            if (is_base(name))
                append(base, name);
            else
                append(bundles, name);
        }
    }
    // the two lists are this call's own, so they are sorted where they are
    sort(base);
    sort(bundles);
    return tuple_of({}, base, bundles);
}

object check_is_zelkor_enterprise_included(handle packages) {
    BasePrefixTest is_base;
    // a list's or tuple's own iterator runs no Python code; any other may
    const bool plain = is_exact_list_or_tuple(packages);
    for (object name : iterate(packages)) {
        if (is_base(name)) return True;
        if (!plain) is_base.forget();
    }
    return False;
}

// ------------------------------------------------- version comparison

// Installed and requested versions compared by PEP 440; anything that is not
// a version text compares as "no".
object compare_versions(handle installed_version, handle requested_version, Cmp op) {
    if (!is_str(installed_version) || !is_str(requested_version)) return False;
    object result = try_call(global("Version"_s), installed_version);
    if (result) {
        object requested = try_call(global("Version"_s), requested_version);
        result = requested ? try_compare(result, requested, op) : object();
    }
    if (result) return result;
    if (caught("InvalidVersion"_s)) return False;
    rethrow();
}

object is_version_bigger(handle installed_version, handle requested_version) {
    return compare_versions(installed_version, requested_version, Cmp::gt);
}

object is_version_equal(handle installed_version, handle requested_version) {
    return compare_versions(installed_version, requested_version, Cmp::eq);
}

// ------------------------------------------ additional related packages

object convert_to_set(handle obj) {
    if (is_list_or_tuple(obj)) return set_of(obj);
    if (is_str(obj) || is_int(obj) || is_float(obj)) {
        object one = new_set();
        set_add(one, obj);
        return one;
    }
    if (is_dict(obj)) return set_of(method(obj, "keys"_s));
    return borrow(obj);
}

object is_none_or_empty_iterate(handle obj) {
    if (is_none(obj)) return True;
    if (!is_exact_builtin_container(obj) && !has_attr(obj, "__len__"_s)) return False;
    return boolean(length(obj) == 0);
}

object determine_additional_zelkor_enterprise_deps(handle packages_before_install,
                                                   handle packages_after_install,
                                                   handle user_requested_packages,
                                                   handle all_zelkor_enterprise_related_pkgs) {
    if (truth(call(global("is_none_or_empty_iterate"_s), user_requested_packages)))
        return new_set();
    object before = call(global("convert_to_set"_s), packages_before_install);
    object after = call(global("convert_to_set"_s), packages_after_install);
    object requested_items = call(global("convert_to_set"_s), user_requested_packages);
    object requested = new_set();
    for (object p : iterate(requested_items))
        set_add(requested, call(global("get_requirement_name"_s), p));
    object related = call(global("convert_to_set"_s), all_zelkor_enterprise_related_pkgs);
    object installed = method(after, "difference"_s, before);
    object installed_related = method(installed, "intersection"_s, related);
    return method(installed_related, "difference"_s, requested);
}

// --------------------------------------------------------------- module

void body(Module& m) {
    m.import("os");
    m.import("pathlib");
    m.import("subprocess");
    m.import("sys");
    m.import_from("importlib.metadata", {"distributions"});
    m.import_from("typing", {"Dict", "Tuple"});
    m.import_from("packaging.requirements", {"Requirement"});
    m.import_from("packaging.utils", {"parse_sdist_filename", "parse_wheel_filename"});
    m.import_from("packaging.version", {"InvalidVersion", "Version"});
    m.import_from("zelkor_installer.constants", {"EXPECTED_PACKAGES", "ProductType"});
    m.set("BASE_PREFIX", "zelkor-enterprise"_s);

    // kept for the life of the process, only to be recognised
    if (!g_pure_path) {
        g_os.keep(m.get("os"));
        g_pure_path.keep(attr(m.get("pathlib"), "PurePath"_s));
    }

    m.def<list_current_installed_packages>(
        {.name = "list_current_installed_packages",
         .params = {},
         .doc =
             R"doc(Returns a list of currently installed package names.

    The metadata of all installed distributions is supplied by
    importlib.metadata.distributions(); the package names are taken from it.

    Returns:
        list: The names of the packages currently installed in the environment.
)doc"});
    m.def<list_current_installed_packages_with_their_version>(
        {.name = "list_current_installed_packages_with_their_version",
         .params = {},
         .doc = R"doc(Returns the currently installed package names with their versions.

    The names and versions are taken from the metadata of all installed
    distributions, as importlib.metadata.distributions() supplies it.

    Returns:
        dict: The installed package names mapped to their versions.
)doc"});
    m.def<clean_path>(
        {.name = "clean_path",
         .params = {"path"},
         .doc =
             R"doc(Cleans a file path by stripping leading/trailing whitespace and converting to lowercase.

    Args:
        path (str): The input file path as a string.

    Returns:
        str: The cleaned file path.
)doc",
         .annotations = {{"path", "str", Exactly::str}}});
    m.def<get_package_name>({.name = "get_package_name",
                             .params = {"file_path"},
                             .doc = R"doc(Extracts the package name from a given file path.

    Supports .whl, .tar.gz and other archive formats. The names of wheel and
    source distribution files are parsed with the appropriate functions; for
    other file types the base file name is returned.

    Args:
        file_path (str): The path of the package file, or a package name.

    Returns:
        str: The package name, or None for an empty or blank path.
)doc",
                             .annotations = {{"file_path", "str", Exactly::str}}});
    m.def<get_latest_package_version>(
        {.name = "get_latest_package_version",
         .params = {"package_name", "index_url"},
         .doc = R"doc(Gets the latest version of a package available on a Python package index.

    Runs `pip index versions` through subprocess to get the versions of the
    package that the given Python package index (PyPI or a custom index)
    offers.

    Args:
        package_name (str): The name of the package.
        index_url (str, optional): The base URL of the package index.
            Defaults to the PyPI index when not given.

    Returns:
        str: The highest available version, or None if the pip command fails.
)doc"},
        {none()});
    m.def<split_base_and_bundles>({.name = "split_base_and_bundles",
                                   .params = {"packages", "use_product_type"},
                                   .doc = R"doc(Split base zelkor-enterprise packages from bundles.

    Args:
        packages (Dict[str, str]): The package names mapped to their product types.
        use_product_type (bool): Whether the product type decides between base
            package and bundle; a false value falls back to the package name.

    Returns:
        Tuple[str, list]: A tuple of the list of base packages and the list of
            bundle packages.
)doc",
                                   .annotations = {{"packages", "Dict[str, str]", Exactly::dict},
                                                   {"use_product_type", "bool"},
                                                   {"return", "Tuple[str, list]"}}},
                                  {True});
    m.def<is_version_bigger>(
        {.name = "is_version_bigger",
         .params = {"installed_version", "requested_version"},
         .doc = R"doc(Check if the installed version is greater than the requested version.)doc"});
    m.def<is_version_equal>(
        {.name = "is_version_equal",
         .params = {"installed_version", "requested_version"},
         .doc = R"doc(Check if the installed version is equal to the requested version.)doc"});
    m.def<convert_to_set>(
        {.name = "convert_to_set",
         .params = {"obj"},
         .doc = R"doc(Convert a list, tuple, str, int, float, or dictionary to a set.)doc"});
    m.def<get_requirement_name>(
        {.name = "get_requirement_name",
         .params = {"requirement_name"},
         .doc =
             R"doc(Get the name of a requirement, useful to remove extra_requires, specifiers, markers.)doc"});
    m.def<is_none_or_empty_iterate>(
        {.name = "is_none_or_empty_iterate",
         .params = {"obj"},
         .doc = R"doc(Check if object is None or an empty list/dict/iterate.)doc"});
    m.def<determine_additional_zelkor_enterprise_deps>(
        {.name = "determine_additional_zelkor_enterprise_deps",
         .params = {"packages_before_install", "packages_after_install", "user_requested_packages",
                    "all_zelkor_enterprise_related_pkgs"},
         .doc =
             R"doc(Determine the additional zelkor-enterprise related packages installed, given before & after.

    Args:
        packages_before_install (set|list): The names of all packages installed
            before the installation.
        packages_after_install (set|list): The names of all packages installed
            after the installation.
        user_requested_packages (set|list|dict|str|None): The packages the user
            requested to install.
        all_zelkor_enterprise_related_pkgs (set|list): The names of all
            zelkor-enterprise related packages. Defaults to EXPECTED_PACKAGES.

    Returns:
        set: The additional zelkor-enterprise related packages that were
            installed.
)doc"},
        {m.get("EXPECTED_PACKAGES")});
    m.def<check_is_zelkor_enterprise_included>(
        {.name = "check_is_zelkor_enterprise_included", .params = {"packages"}});
}

}  // namespace

ZF_MODULE(brenmoor, "Utility functions for package and virtual env.", body)
