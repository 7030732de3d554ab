// Output files written whole or not at all, through symbolic links, with the
// old file's permissions.
#include "file_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 100;
#ifndef _WIN32
// As the POSIX kernels' own bound on a chain of links.
constexpr int SYMLINK_HOPS = 40;
#endif

int process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// Creates a temporary file beside path that did not exist before (never
// one that someone else is writing), open for writing in text mode.
std::FILE* create_temp(const std::string& path, std::string* temp_path, std::string* error) {
    for (int i = 0; i < TEMP_NAME_ATTEMPTS; ++i) {
        std::string name = path + "." + std::to_string(process_id()) + "-" + std::to_string(i) + ".tmp";
#ifdef _WIN32
        int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
        const char* mode = "wt";
#else
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const char* mode = "w";
#endif
        if (fd < 0) {
            if (errno == EEXIST) continue;
            *error = std::strerror(errno);
            return nullptr;
        }
#ifdef _WIN32
        std::FILE* f = _fdopen(fd, mode);
        if (!f) _close(fd);
#else
        std::FILE* f = fdopen(fd, mode);
        if (!f) close(fd);
#endif
        if (!f) {
            *error = std::strerror(errno);
            std::remove(name.c_str());
            return nullptr;
        }
        *temp_path = name;
        return f;
    }
    *error = "no free temporary name beside it";
    return nullptr;
}

// The file that writing to path is meant to change: a symbolic link is
// followed to the file it points at (which need not exist yet), so that
// the rename replaces that file and the link stays. Windows: the name as
// it is (its links need rights to make and are rare; a rename there
// replaces the link itself). 0, or -1 with *error.
int target_of(const std::string& path, std::string* target, std::string* error) {
#ifdef _WIN32
    (void)error;
    *target = path;
#else
    namespace fs = std::filesystem;
    fs::path p(path);
    std::error_code ec;
    for (int hop = 0; fs::is_symlink(fs::symlink_status(p, ec)); ++hop) {
        fs::path next = fs::read_symlink(p, ec);
        if (ec || hop == SYMLINK_HOPS) {
            *error = ec ? ec.message() : std::strerror(ELOOP);
            return -1;
        }
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    *target = p.string();
#endif
    return 0;
}

// An existing file that this user may not write is not replaced, as a
// shell's redirection would not (and Windows will not rename onto a
// read-only file). Nor is anything but a regular file: the rename would
// put a file in the place of a device or a FIFO (root may replace
// /dev/null). 0, or -1 with *error.
int may_replace(const std::string& target, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (fs::is_directory(status)) {
        *error = "it is a directory";
        return -1;
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        *error = "it is not a regular file (a device, FIFO or socket is never replaced)";
        return -1;
    }
#ifndef _WIN32
    if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) {
        *error = std::strerror(errno);
        return -1;
    }
#endif
    return 0;
}

// The new file gets the old one's permissions (and, where this user may
// give them, its owner and group). Windows: the new file has the rights
// its directory gives; only a read-only mark would matter, and may_replace
// has refused such a file.
void keep_permissions(std::FILE* f, const std::string& target) {
#ifdef _WIN32
    (void)f;
    (void)target;
#else
    struct stat old;
    if (stat(target.c_str(), &old) != 0) return;  // a new file: the umask decides, as for any other
    if (fchown(fileno(f), old.st_uid, old.st_gid) != 0) {
        // Only root may give a file away; the file is then this user's.
    }
    fchmod(fileno(f), old.st_mode & 0777);
#endif
}

// The temporary file beside the file that writing to path replaces, once
// that file may be replaced; nullptr with *error.
std::FILE* create_temp_for(const std::string& path, std::string* target, std::string* temp, std::string* error) {
    if (path.empty()) {
        *error = "no file name";
        return nullptr;
    }
    if (target_of(path, target, error) != 0 || may_replace(*target, error) != 0) return nullptr;
    return create_temp(*target, temp, error);
}

// The file's bytes on the disk, not only in the system's cache: a backup
// must survive a crash right after the change it was taken for. 0, or -1.
int sync_file(std::FILE* f) {
    if (std::fflush(f) != 0) return -1;
#ifdef _WIN32
    return _commit(_fileno(f));
#else
    return fsync(fileno(f));
#endif
}

// The rename on the disk too: the directory that holds the file. Windows
// writes a rename through by itself (MoveFileEx is journaled); a file
// system that cannot sync a directory is no reason to fail.
void sync_directory_of(const std::string& target) {
#ifndef _WIN32
    std::string dir = std::filesystem::path(target).parent_path().string();
    if (dir.empty()) dir = ".";
    const int fd = open(dir.c_str(), O_RDONLY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
#else
    (void)target;
#endif
}

}  // namespace

int vrn_write_file_whole(const std::string& path, const std::string& text, std::string* error,
                         const std::function<bool(const std::string&, std::string*)>& check) {
    std::string target, temp;
    std::FILE* f = create_temp_for(path, &target, &temp, error);
    if (!f) return -1;
    keep_permissions(f, target);
    // A full disk may show only at the flush of the close.
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!written) *error = std::strerror(errno);
    if (written && sync_file(f) != 0) {
        *error = std::strerror(errno);
        written = false;
    }
    if (std::fclose(f) != 0 && written) {
        *error = std::strerror(errno);
        written = false;
    }
    if (written && check && !check(temp, error)) written = false;
    if (written) {
        // Replaces an existing file at once, on Windows too (MoveFileEx).
        std::error_code ec;
        std::filesystem::rename(temp, target, ec);
        if (!ec) {
            sync_directory_of(target);
            return 0;
        }
        *error = ec.message();
    }
    std::remove(temp.c_str());
    return -1;
}

int vrn_check_writable(const std::string& path, std::string* error) {
    std::string target, temp;
    std::FILE* f = create_temp_for(path, &target, &temp, error);
    if (!f) return -1;
    std::fclose(f);
    std::remove(temp.c_str());
    return 0;
}
