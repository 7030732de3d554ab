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
#include <unistd.h>
#endif

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 100;

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

}  // namespace

int vrn_write_file_whole(const std::string& path, const std::string& text, std::string* error,
                         const std::function<bool(const std::string&, std::string*)>& check) {
    std::string temp;
    std::FILE* f = create_temp(path, &temp, error);
    if (!f) return -1;
    // A full disk may show only at the flush of the close.
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!written) *error = std::strerror(errno);
    if (std::fclose(f) != 0 && written) {
        *error = std::strerror(errno);
        written = false;
    }
    if (written && check && !check(temp, error)) written = false;
    if (written) {
        // Replaces an existing file at once, on Windows too (MoveFileEx).
        std::error_code ec;
        std::filesystem::rename(temp, path, ec);
        if (!ec) return 0;
        *error = ec.message();
    }
    std::remove(temp.c_str());
    return -1;
}

int vrn_check_writable(const std::string& path, std::string* error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = "it is a directory";
        return -1;
    }
    std::string temp;
    std::FILE* f = create_temp(path, &temp, error);
    if (!f) return -1;
    std::fclose(f);
    std::remove(temp.c_str());
    return 0;
}
