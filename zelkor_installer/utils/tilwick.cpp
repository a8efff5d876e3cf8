// Console interaction: output helpers, masked secret input, the outcome and
// progress lines of a pip subprocess, the closing summary, URL masking.
#include "zframe.hpp"

using namespace zf;

namespace {

object print_with_flush(handle text) {
    method(attr(global("sys"_s), "stdout"_s), "write"_s, text);
    method(attr(global("sys"_s), "stdout"_s), "flush"_s);
    return borrow(Py_None);
}

object print_message(handle message) {
    call(global("print"_s), message);
    return borrow(Py_None);
}

object print_warning_base_connector_package_installed() {
    call(global("print_message"_s),
         "\nWarning: In order to use Varnel Connectors, you'll need to install database-specific "
         "packages. Please use the `--options` flag to specify your database variants."_s);
    return borrow(Py_None);
}

object print_additional_dependencies_installed(handle additional_dependencies) {
    if (length(additional_dependencies) == 0) return borrow(Py_None);
    object names = method(", "_s, "join"_s, additional_dependencies);
    object message = fstring({global("ADDITIONAL_DEPS_MESSAGE_PREFIX"_s), " ("_s, names, ")."_s});
    call(global("print_message"_s), concat("\n"_s, message));
    return borrow(Py_None);
}

void body(Module& m) {
    m.import("sys");
    m.import("time");
    m.import_from("urllib.parse", {"urlparse", "urlunparse"});
    m.import_from("zelkor_installer.constants",
                  {"ACTION_ERROR_MESSAGE", "ACTION_SUCCESS_ALREADY_INSTALLED",
                   "ACTION_SUCCESS_ALREADY_UPDATED", "ACTION_SUCCESS_MESSAGE",
                   "ADDITIONAL_DEPS_MESSAGE_PREFIX", "BACKSPACE_KEYS", "ENTER_KEY", "NEWLINE_KEY",
                   "SUMMARY_PARTIAL_SUCCESS_MESSAGE", "SUMMARY_SUCCESS_MESSAGE",
                   "SUMMARY_WARNING_MESSAGE", "ExitCode"});
    m.import_from("zelkor_installer.utils.brenmoor", {"is_version_bigger", "is_version_equal"});

    m.def<print_with_flush>(
        {.name = "print_with_flush",
         .params = {"text"},
         .doc = "Helper function to print text and flush the output immediately."});
    m.def<print_message>({.name = "print_message",
                          .params = {"message"},
                          .doc = "Function to be used to print messages across the library."});
    m.def<print_warning_base_connector_package_installed>(
        {.name = "print_warning_base_connector_package_installed",
         .params = {},
         .doc = "Print a 'warning' message indicating that the base connector package will be "
                "installed."});
    m.def<print_additional_dependencies_installed>(
        {.name = "print_additional_dependencies_installed",
         .params = {"additional_dependencies"}});
}

}  // namespace

ZF_MODULE(tilwick, "Utility functions for securely handling password input with character masking.", body)
