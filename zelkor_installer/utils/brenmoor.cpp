// Package utilities: installed packages, package names, the newest version on
// an index, version comparison, base/bundle split, extra related packages.
#include "zframe.hpp"

using namespace zf;

namespace {

// Installed and requested versions compared by PEP 440; anything that is not
// a version text compares as "no".
object compare_versions(handle installed_version, handle requested_version, int op) {
    if (!is_str(installed_version) || !is_str(requested_version)) return borrow(Py_False);
    try {
        object installed = call(global("Version"_s), installed_version);
        object requested = call(global("Version"_s), requested_version);
        return compare(installed, requested, op);
    } catch (const Raised&) {
        if (caught("InvalidVersion"_s)) return borrow(Py_False);
        throw;
    }
}

object is_version_bigger(handle installed_version, handle requested_version) {
    return compare_versions(installed_version, requested_version, Py_GT);
}

object is_version_equal(handle installed_version, handle requested_version) {
    return compare_versions(installed_version, requested_version, Py_EQ);
}

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

    m.def<is_version_bigger>(
        {.name = "is_version_bigger",
         .params = {"installed_version", "requested_version"},
         .doc = "Check if the installed version is greater than the requested version."});
    m.def<is_version_equal>(
        {.name = "is_version_equal",
         .params = {"installed_version", "requested_version"},
         .doc = "Check if the installed version is equal to the requested version."});
}

}  // namespace

ZF_MODULE(brenmoor, "Utility functions for package and virtual env.", body)
