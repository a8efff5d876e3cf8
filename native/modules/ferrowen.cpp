// The installed-package record: a per-user text file with one package name a
// line, appended to by store, read whole by read, rewritten by remove.
//
// Store and remove serialise on an advisory lock (flock on a lock file beside
// the record), and remove rewrites through a temporary file that replaces the
// record (a link's target, for a linked record) in one rename, so that neither
// a concurrent store nor a failure part-way through a rewrite can lose a
// recorded name.  Where no lock file or temporary file can be made, the record
// is written as plainly as it would be without them: they must never cost a
// name.
#include <cerrno>
#include <cstdio>
#include <string>

#include "zf.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <process.h>
#define getpid _getpid
#endif

using namespace zf;

namespace {

// ------------------------------------------------------------- file system

// The path's bytes for the operating system, or empty when `path` is not a
// file-system path (a stand-in object): such a path gets no lock or probe.
std::string os_path(handle path, Site site = {}) {
    std::string out;
    if (!fs_path(path, &out, site)) out.clear();
    return out;
}

// An exclusive advisory lock on "<record>.lock", held until destruction.  A
// lock file that cannot be made or opened (a read-only directory or file
// system, a directory in its place), or a file system without locks, leaves
// the record unlocked, as it was before there was a lock.
class RecordLock {
 public:
    explicit RecordLock(const std::string& record_path, Site line = {}) {
#ifndef _WIN32
        if (record_path.empty()) return;
        std::string path = record_path + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // a lock file someone else created read-only still serves for flock
        if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (fd_ >= 0) {
            // other threads of this process may hold the lock: wait without the GIL
            int err = 0;
            int r = without_interpreter([&] {
                int rc = ::flock(fd_, LOCK_EX);
                err = errno;
                return rc;
            });
            if (r == 0) break;
            if (err != EINTR) {
                release();
                break;
            }
            try {
                check_signals(line);  // a handler's exception ends the wait
            } catch (const Raised&) {
                release();
                throw;
            }
        }
#else
        (void)record_path;
        (void)line;
#endif
    }
    ~RecordLock() { release(); }
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;
    bool held() const { return fd_ >= 0; }

 private:
    void release() {
#ifndef _WIN32
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
#endif
        fd_ = -1;
    }
    int fd_ = -1;
};

// The file's length: 0 for a file not yet made, -1 when it cannot be told.
long long file_length(const std::string& path) {
#ifndef _WIN32
    struct stat st{};
    if (path.empty()) return -1;
    if (::stat(path.c_str(), &st) == 0) return st.st_size;
    return errno == ENOENT ? 0 : -1;
#else
    (void)path;
    return -1;
#endif
}

// Cuts the file back to `length` when something was added beyond it; a cut
// that fails leaves the file as it is.
void cut_back(const std::string& path, long long length) {
#ifndef _WIN32
    struct stat st{};
    if (length < 0 || path.empty() || ::stat(path.c_str(), &st) != 0 || st.st_size <= length)
        return;
    [[maybe_unused]] int cut = ::truncate(path.c_str(), static_cast<off_t>(length));
#else
    (void)path;
    (void)length;
#endif
}

// Path(user_data_dir(APP_NAME, APP_AUTHOR)), afresh at every call
object storage_directory() {
    object path_type = global("Path"_s);
    object data_dir = global("user_data_dir"_s);
    object location = call(data_dir, global("APP_NAME"_s), global("APP_AUTHOR"_s));
    return call(path_type, location);
}

object record_file(handle storage_dir) { return divide(storage_dir, "installed_packages.txt"_s); }

// ------------------------------------------------------------- functions

Result store_package_name(handle package) {
    // a line break would write a second record that no removal can name
    if (is_str(package) && (str_has_char(package, '\n') || str_has_char(package, '\r')))
        return raise_new_return(
            global("ValueError"_s),
            concat("Package name must not contain a line break: "_s, repr_of(package)));

    object storage_dir = storage_directory();
    try {
        method(storage_dir, "mkdir"_s, Kw{"parents"_s, True}, Kw{"exist_ok"_s, True});
    } catch (const Raised&) {
        if (caught("PermissionError"_s)) {
            // no per-user directory: the module's own one if it takes files
            object access = attr(global("os"_s), "access"_s);
            object config_path = global("CONFIG_PATH"_s);
            object writable = attr(global("os"_s), "W_OK"_s);
            if (!truth(call(access, config_path, writable))) return None;
            storage_dir = global("CONFIG_PATH"_s);
        } else if (caught("OSError"_s)) {
            return None;
        } else {
            throw;
        }
    }

    object package_file = record_file(storage_dir);
    try {
        std::string record_path = os_path(package_file);
        RecordLock lock(record_path);
        long long before = file_length(record_path);
        try {
            with_block(method(package_file, "open"_s, "a"_s),
                       [&](handle file) { method(file, "write"_s, concat(package, "\n"_s)); });
        } catch (const Raised&) {
            // a line cut short (a full disk) would run into the next name
            // stored: the record goes back to its length, still under the lock
            cut_back(record_path, before);
            throw;
        }
    } catch (const Raised&) {
        object error = caught_as("OSError"_s);
        if (!error) throw;
        object log_error = attr(global("LOGGER"_s), "error"_s);
        object message = fstring({"Failed to write installed package '"_s, str_of(package),
                                  "' to '"_s, str_of(package_file), "': "_s, str_of(error)});
        call(log_error, message);
    }
    return None;
}

Result read_stored_packages() {
    object package_file = record_file(storage_directory());
    if (!truth(method(package_file, "exists"_s)))
        return raise_new_return(global("FileNotFoundError"_s), "No stored package file found."_s);
    object packages = new_set();
    with_block(method(package_file, "open"_s, "r"_s), [&](handle file) {
        for (object line : iterate(file)) {
            object name = method(line, "strip"_s);
            if (truth(name)) set_add(packages, name);
        }
    });
    return packages;
}

// The text of the remaining entries: each followed by a line end.
object joined_lines(handle packages) {
    if (length(packages) == 0) return borrow(""_s);
    object body = method("\n"_s, "join"_s, packages);
    return concat(body, "\n"_s);
}

// Removes the temporary files ".installed_packages.txt.<pid>.tmp" that
// rewrites killed part-way left in `directory`, whatever process made them.
// Housekeeping only: a directory that cannot be listed, or a file that cannot
// be removed, stays as it is.
void remove_stale_temporaries(handle directory) {
    handle prefix = ".installed_packages.txt."_s;
    handle suffix = ".tmp"_s;
    object names;
    try {
        names = method(global("os"_s), "listdir"_s, directory);
    } catch (const Raised&) {
        if (caught("OSError"_s)) return;
        throw;
    }
    for (object name : iterate(names)) {
        if (!is_exact_str(name) || !str_startswith(name, prefix) || !str_endswith(name, suffix))
            continue;
        object pid = substring(name, str_length(prefix), str_length(name) - str_length(suffix));
        if (!truth(method(pid, "isdigit"_s))) continue;
        try {
            method(global("os"_s), "unlink"_s, divide(directory, name));
        } catch (const Raised&) {
            if (!caught("OSError"_s)) throw;
        }
    }
}

object remove_package_name(handle package) {
    object storage_dir = storage_directory();
    object package_file = record_file(storage_dir);
    if (!truth(method(package_file, "exists"_s))) return None;

    std::string record_path = os_path(package_file);
    RecordLock lock(record_path);
    object packages = new_list();
    with_block(method(package_file, "open"_s, "r"_s), [&](handle file) {
        for (object line : iterate(file)) {
            object name = method(line, "strip"_s);
            if (truth(ne(name, package))) append(packages, name);
        }
    });

#ifndef _WIN32
    struct stat record_stat{};
    bool have_stat = false;
    if (!record_path.empty()) {
        // a record its owner made read-only stays unchanged, as an in-place
        // rewrite would leave it
        if (::access(record_path.c_str(), W_OK) != 0) raise_os_error(record_path);
        have_stat = ::stat(record_path.c_str(), &record_stat) == 0;
    }
#endif

    // A linked record is rewritten at its target: a rename over the link
    // would make it a copy, and leave the target with the removed name.
    object target = package_file;
    object directory = storage_dir;
    if (!record_path.empty()) {
        object realpath = attr(attr(global("os"_s), "path"_s), "realpath"_s);
        target = call(global("Path"_s), call(realpath, package_file));
        directory = attr(target, "parent"_s);
    }
    // under the lock no other rewrite runs: a temporary file is a dead one's
    if (lock.held()) remove_stale_temporaries(directory);

    // the new content goes to a file of its own and replaces the record in
    // one rename: readers and a failure part-way see the old record whole
    object temp_name = fstring({".installed_packages.txt."_s, int_from(::getpid()), ".tmp"_s});
    object temp_file = divide(directory, temp_name);
    object temp_stream;
    try {
        temp_stream = method(temp_file, "open"_s, "w"_s);
    } catch (const Raised&) {
        if (!caught("PermissionError"_s)) throw;
        // no new file may be made beside a record that may be written: it is
        // rewritten in place instead
        with_block(method(package_file, "open"_s, "w"_s),
                   [&](handle file) { method(file, "write"_s, joined_lines(packages)); });
        return None;
    }
    try {
        with_block(temp_stream,
                   [&](handle file) { method(file, "write"_s, joined_lines(packages)); });
#ifndef _WIN32
        if (have_stat) {
            std::string temp_path = os_path(temp_file);
            if (!temp_path.empty()) {
                // the owner is kept where we may set it (as root; otherwise the file
                // stays ours), the mode always
                [[maybe_unused]] int owned =
                    ::chown(temp_path.c_str(), record_stat.st_uid, record_stat.st_gid);
                if (::chmod(temp_path.c_str(), record_stat.st_mode & 07777U) != 0)
                    raise_os_error(temp_path);
            }
        }
#endif
        call(attr(global("os"_s), "replace"_s), temp_file, target);
    } catch (const Raised& r) {
        // leave no half-written file behind; the failure that got here is the one to report
        object pending = suspend_exception();
        std::string temp_path;
        try {
            temp_path = os_path(temp_file);
        } catch (const Raised&) {
            suspend_exception();  // no path to remove: nothing to clean
        }
        if (!temp_path.empty()) std::remove(temp_path.c_str());
        resume_exception(std::move(pending), r);
    }
    return None;
}

void body(Module& m) {
    m.import("logging");
    m.import("os");
    m.import_from("pathlib", {"Path"});
    m.import_from("platformdirs", {"user_data_dir"});
    m.set("APP_NAME", "Zelkor-Installer"_s);
    m.set("APP_AUTHOR", "Quenvale"_s);
    m.set("LOGGER", method(m.get("logging"), "getLogger"_s, m.get("__name__")));
    m.set("CONFIG_PATH",
          attr(method(call(m.get("Path"), m.get("__file__")), "resolve"_s), "parent"_s));

    m.def<store_package_name>(
        {.name = "store_package_name",
         .params = {"package"},
         .doc =
             R"doc(Store the installed package name in a text file in a platform-specific directory.

    Args:
        packages (str):
            A string representing the package name.
    )doc"});
    m.def<read_stored_packages>(
        {.name = "read_stored_packages",
         .params = {},
         .doc = R"doc(Read the list of installed packages from the platform-specific data file.

    Returns:
        list[str]:
            A list of installed package names.

    Raises:
        FileNotFoundError:
            If the file does not exist.
    )doc"});
    m.def<remove_package_name>(
        {.name = "remove_package_name",
         .params = {"package"},
         .doc = R"doc(Remove a single package name from the installed packages file.

    Args:
        package (str):
            A string representing the package name to remove.
    )doc"});
}

}  // namespace

ZF_MODULE(ferrowen, "Utilities to handle appdirs and store application data.", body)
