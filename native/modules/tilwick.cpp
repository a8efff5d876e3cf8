// Console interaction: output helpers, masked secret input, the outcome and
// progress lines of a pip subprocess, the closing summary, URL masking.
#include "zf.hpp"

using namespace zf;

namespace {

object print_with_flush(handle text) {
    method(attr(global("sys"_s), "stdout"_s), "write"_s, text);
    method(attr(global("sys"_s), "stdout"_s), "flush"_s);
    return None;
}

// ---------------------------------------------------------- masked input

object handle_keypress(handle character, handle password) {
    object secret = borrow(password);
    if (contains(global("BACKSPACE_KEYS"_s), character)) {
        if (truth(secret)) {
            // [:-1], the slice made once
            secret = item(secret, constant<[] { return slice_of(None, num<-1>(), None); }>());
            call(global("print_with_flush"_s), "\b \b"_s);
        }
    } else {
        secret = concat(secret, character);
        call(global("print_with_flush"_s), "*"_s);
    }
    return secret;
}

// Ends the input on a key that must not join the secret: the line is closed
// first, so the caller's next output starts on a fresh line.
Failed abandon_input(Name exception_name) {
    call(global("print_with_flush"_s), "\n"_s);
    return raise_return(global(exception_name));
}

Result get_password(handle prompt, handle get_char_func) {
    call(global("print_with_flush"_s), prompt);
    object password = borrow(""_s);
    for (;;) {
        object key = call(get_char_func);
        if (is_bytes(key)) key = method(key, "decode"_s, "utf-8"_s);
        if (truth(eq(key, global("ENTER_KEY"_s))) || truth(eq(key, global("NEWLINE_KEY"_s)))) {
            call(global("print_with_flush"_s), "\n"_s);
            break;
        }
        // A raw terminal delivers Ctrl-C as a key: it interrupts, it is no part
        // of the secret.
        if (truth(eq(key, "\x03"_s))) return abandon_input("KeyboardInterrupt"_s);
        // A closed input reads as an empty key, for ever.
        if (truth(eq(key, ""_s))) return abandon_input("EOFError"_s);
        password = call(global("handle_keypress"_s), key, password);
    }
    return password;
}

object get_char_win() {
    object msvcrt = import_module("msvcrt"_s);
    for (;;) {
        object key = method(msvcrt, "getch"_s);
        // Arrow and function keys come as a lead byte and a code byte: no text.
        if (contains(constant<[] { return tuple_of({}, "\x00"_b, "\xe0"_b); }>(), key)) {
            method(msvcrt, "getch"_s);
            continue;
        }
        try {
            method(key, "decode"_s, "utf-8"_s);
        } catch (const Raised&) {
            if (caught("UnicodeDecodeError"_s)) continue;
            throw;
        }
        return key;
    }
}

// Runs `body(fd)` with standard input's terminal in the mode that
// tty.<setter> makes, entered with TCSANOW so keys typed ahead stay queued,
// and the saved mode restored with TCSADRAIN however the body ends.
template <class Body>
object in_terminal_mode(handle setter, Body&& body) {
    object termios = import_module("termios"_s);
    object tty = import_module("tty"_s);
    object fd = method(attr(global("sys"_s), "stdin"_s), "fileno"_s);
    // a continue signal that came in the meantime has its handler run first,
    // so that the mode saved is the one that handler entered
    check_signals();
    object old_settings = method(termios, "tcgetattr"_s, fd);
    return try_finally(
        [&] {
            method(tty, setter, fd, attr(termios, "TCSANOW"_s));
            return body(handle(fd));
        },
        [&] { method(termios, "tcsetattr"_s, fd, attr(termios, "TCSADRAIN"_s), old_settings); });
}

object get_char_unix() {
    return in_terminal_mode("setraw"_s, [](handle) {
        return method(attr(global("sys"_s), "stdin"_s), "read"_s, num<1>());
    });
}

// get_password_input.<locals>.on_continue: a job stopped during the input
// and continued finds the terminal in the mode its shell left, echo on; the
// no-echo mode is entered again before the next key is read, then the
// handler that was there before runs.
object on_continue(Closure terminal, handle signum, handle frame) {
    object fd;
    object previous;
    unpack(terminal.value, {&fd, &previous});
    object termios = import_module("termios"_s);
    method(import_module("tty"_s), "setcbreak"_s, fd, attr(termios, "TCSANOW"_s));
    if (truth(call(global("callable"_s), previous))) call(previous, signum, frame);
    return None;
}

// Runs `body` with on_continue as the SIGCONT handler, where handlers may be
// set (the main thread), and puts the previous handler back however the body
// ends.  A previous handler set from outside Python could not be put back: it
// stays.
template <class Body>
object keeping_mode_on_continue(handle fd, Body&& body) {
    object threading = import_module("threading"_s);
    object current = method(threading, "current_thread"_s);
    if (!current.is(method(threading, "main_thread"_s))) return body();
    object signal = import_module("signal"_s);
    object sigcont = attr(signal, "SIGCONT"_s);
    object previous = method(signal, "getsignal"_s, sigcont);
    if (is_none(previous)) return body();
    object handler =
        closure_function<on_continue>({.name = "on_continue",
                                       .params = {"signum", "frame"},
                                       .qualname = "get_password_input.<locals>.on_continue"},
                                      tuple_of({}, fd, previous));
    method(signal, "signal"_s, sigcont, handler);
    return try_finally(body, [&] { method(signal, "signal"_s, sigcont, previous); });
}

object get_password_input(handle prompt) {
    if (truth(eq(attr(global("sys"_s), "platform"_s), "win32"_s))) {
        object get_password = global("get_password"_s);
        return call(get_password, prompt, global("get_char_win"_s));
    }
    if (!truth(method(attr(global("sys"_s), "stdin"_s), "isatty"_s))) {
        object get_password = global("get_password"_s);
        return call(get_password, prompt, global("get_char_unix"_s));
    }
    // Between two keys the terminal stays without echo and line editing, not
    // in the caller's mode: keys typed or pasted ahead wait unseen instead of
    // being echoed in clear.
    return in_terminal_mode("setcbreak"_s, [&](handle fd) {
        return keeping_mode_on_continue(fd, [&] {
            object get_password = global("get_password"_s);
            return call(get_password, prompt, global("get_char_unix"_s));
        });
    });
}

// -------------------------------------------------------- output helpers

object print_message(handle message) {
    call(global("print"_s), message);
    return None;
}

// ------------------------------------------------- outcome and progress

object handle_process_exit_code(handle process, handle package, handle printable_package,
                                handle version, handle action, handle installed_packages,
                                handle upgrade) {
    object message;
    object returncode = attr(process, "returncode"_s);
    if (truth(eq(returncode, attr(global("ExitCode"_s), "SUCCESS"_s)))) {
        message = method(global("ACTION_SUCCESS_MESSAGE"_s), "get"_s, action);
        if (truth(eq(action, "install"_s))) {
            object installed_version =
                truth(installed_packages) ? method(installed_packages, "get"_s, package) : None;
            if (truth(installed_version)) {
                object bigger = call(global("is_version_bigger"_s), installed_version, version);
                object equal = call(global("is_version_equal"_s), installed_version, version);
                if (truth(upgrade) && (truth(bigger) || truth(equal)))
                    message = method(global("ACTION_SUCCESS_ALREADY_UPDATED"_s), "get"_s, action);
                else if (truth(equal))
                    message = method(global("ACTION_SUCCESS_ALREADY_INSTALLED"_s), "get"_s, action);
            }
        }
    } else {
        returncode = attr(process, "returncode"_s);
        // The test stays for its errors; a code below ERROR (a process ended
        // by a signal) is a failure too, so both report the error message.
        truth(ge(returncode, attr(global("ExitCode"_s), "ERROR"_s)));
        message = method(global("ACTION_ERROR_MESSAGE"_s), "get"_s, action);
    }
    object write = attr(attr(global("sys"_s), "stdout"_s), "write"_s);
    call(write, fstring({"\r"_s, printable_package, " - "_s, message, "\n"_s}));
    method(attr(global("sys"_s), "stdout"_s), "flush"_s);
    return None;
}

object display_progress_animation(handle process, handle package, handle version, handle action,
                                  handle installed_packages, handle upgrade, handle show_version) {
    object display_name = (truth(show_version) && truth(version))
                              ? fstring({package, " (version "_s, version, ")"_s})
                              : borrow(package);
    // Every frame is as long as the others, so each one covers the last.
    object frames[] = {fstring({"\r"_s, display_name, " .  "_s}),
                       fstring({"\r"_s, display_name, " .. "_s}),
                       fstring({"\r"_s, display_name, " ..."_s})};
    object interval = float_from(0.3);
    for (std::size_t i = 0;; i = (i + 1) % 3) {
        method(attr(global("sys"_s), "stdout"_s), "write"_s, frames[i]);
        method(attr(global("sys"_s), "stdout"_s), "flush"_s);
        method(global("time"_s), "sleep"_s, interval);
        if (!is_none(method(process, "poll"_s))) {
            call(global("handle_process_exit_code"_s), process, package, display_name, version,
                 action, installed_packages, upgrade);
            return None;
        }
    }
}

// ------------------------------------------------------ closing messages

object print_warning_base_connector_package_installed() {
    call(global("print_message"_s),
         "\nWarning: In order to use Varnel Connectors, you'll need to install database-specific "
         "packages. Please use the `--options` flag to specify your database variants."_s);
    return None;
}

object print_additional_dependencies_installed(handle additional_dependencies) {
    if (length(additional_dependencies) == 0) return None;
    object prefix = format(global("ADDITIONAL_DEPS_MESSAGE_PREFIX"_s));
    object names = method(", "_s, "join"_s, additional_dependencies);
    object message = fstring({prefix, " ("_s, names, ")."_s});
    object print_message = global("print_message"_s);
    call(print_message, concat("\n"_s, message));
    return None;
}

object print_package_summary(handle action, handle package_status, handle zelkor_included) {
    object all = global("all"_s);
    object all_success = call(all, method(package_status, "values"_s));
    object message;
    if (truth(all_success) && truth(zelkor_included))
        message = item(global("SUMMARY_SUCCESS_MESSAGE"_s), action);
    else if (truth(all_success) && !truth(zelkor_included))
        message = item(global("SUMMARY_PARTIAL_SUCCESS_MESSAGE"_s), action);
    else
        message = item(global("SUMMARY_WARNING_MESSAGE"_s), action);
    object print_message = global("print_message"_s);
    call(print_message, concat("\n"_s, message));
    return None;
}

object mask_license_key(handle url) {
    object parsed = call(global("urlparse"_s), url);
    object netloc;
    if (truth(attr(parsed, "username"_s))) {
        object user = format(attr(parsed, "username"_s));
        object host = format(attr(parsed, "hostname"_s));
        netloc = fstring({user, ":****@"_s, host});
    } else if (truth(attr(parsed, "password"_s))) {
        // An empty user name does not make the password any less secret.
        netloc = fstring({":****@"_s, attr(parsed, "hostname"_s)});
    } else {
        return borrow(url);
    }
    object urlunparse = global("urlunparse"_s);
    return call(urlunparse, method(parsed, "_replace"_s, Kw{"netloc"_s, netloc}));
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
         .doc = R"doc(Helper function to print text and flush the output immediately.)doc"});
    m.def<handle_keypress>(
        {.name = "handle_keypress",
         .params = {"character", "password"},
         .doc = R"doc(Handles user keypresses: backspace and normal characteracter input.)doc"});
    m.def<get_password>({.name = "get_password",
                         .params = {"prompt", "get_char_func"},
                         .doc = R"doc(Generic password input handler.)doc"});
    m.def<get_char_win>({.name = "get_char_win",
                         .params = {},
                         .doc = R"doc(Windows-specific character reading function.)doc"});
    m.def<get_char_unix>({.name = "get_char_unix",
                          .params = {},
                          .doc = R"doc(Unix-specific character reading function.)doc"});
    m.def<get_password_input>({.name = "get_password_input",
                               .params = {"prompt"},
                               .doc = R"doc(Password getter with stars.)doc"},
                              {"Password: "_s});
    m.def<print_message>(
        {.name = "print_message",
         .params = {"message"},
         .doc = R"doc(Function to be used to print messages across the library.)doc"});
    m.def<handle_process_exit_code>(
        {.name = "handle_process_exit_code",
         .params = {"process", "package", "printable_package", "version", "action",
                    "installed_packages", "upgrade"},
         .doc = R"doc(Handle and display messages based on a subprocess exit code.

Prints one line for the finished process: its display name and the message
for the action, chosen by the return code and, for an installation, by how
the version installed before compares with the requested one.)doc"},
        {none(), none(), none(), False});
    m.def<display_progress_animation>(
        {.name = "display_progress_animation",
         .params = {"process", "package", "version", "action", "installed_packages", "upgrade",
                    "show_version"},
         .doc = R"doc(Display an animated progress indicator while a subprocess is running.

Redraws the package's progress line every 0.3 seconds until the process
has ended, then replaces it with the process's outcome line.)doc"},
        {none(), none(), none(), False, False});
    m.def<print_warning_base_connector_package_installed>(
        {.name = "print_warning_base_connector_package_installed",
         .params = {},
         .doc =
             R"doc(Print a 'warning' message indicating that the base connector package will be installed.)doc"});
    m.def<print_additional_dependencies_installed>(
        {.name = "print_additional_dependencies_installed", .params = {"additional_dependencies"}});
    m.def<print_package_summary>(
        {.name = "print_package_summary",
         .params = {"action", "package_status", "zelkor_included"},
         .doc =
             R"doc(Print a summary message indicating that whether or not the installation was successful.

The verdict is success when every package succeeded and Zelkor Enterprise was
among them, partial success when every package succeeded without it, and a
warning when any package failed.)doc"});
    m.def<mask_license_key>({.name = "mask_license_key", .params = {"url"}});
}

}  // namespace

ZF_MODULE(tilwick, "Utility functions for securely handling password input with character masking.",
          body)
