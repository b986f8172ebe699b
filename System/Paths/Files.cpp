#include "System/Paths/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace System::Paths {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what, const fs::path& path) {
    throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

// Closes the descriptor and removes the temporary file unless the rename took it over.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target)
        : path_(target.parent_path() / ("." + target.filename().string() + ".XXXXXX")) {
        std::string pattern = path_.string();
        fd_ = mkstemp(pattern.data()); // mode 0600 from the start
        if (fd_ < 0) {
            throwErrno(errno, "Couldn't create a temporary file for", target);
        }
        path_ = pattern;
    }
    ~TemporaryFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
        if (!committed_) {
            unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const fs::path& path() const { return path_; }
    int closeNow() {
        const int result = close(fd_);
        fd_ = -1;
        return result;
    }
    void commit() { committed_ = true; }

private:
    fs::path path_;
    int fd_ = -1;
    bool committed_ = false;
};

void syncFolder(const fs::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd); // best effort: the rename itself has already happened
        close(fd);
    }
}

} // namespace

void createDirectories(const fs::path& folder, mode_t mode) {
    fs::path current;
    bool created = false;
    for (const auto& part : folder) {
        current /= part;
        created = mkdir(current.c_str(), mode) == 0;
        if (!created && errno != EEXIST) {
            throwErrno(errno, "Couldn't create the folder", current);
        }
    }
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) {
        throwErrno(errno, "Couldn't read the folder", folder);
    }
    if (!S_ISDIR(info.st_mode)) {
        throwErrno(ENOTDIR, "Couldn't create the folder", folder);
    }
    // The umask may have taken bits from a folder made here; one that was there is the user's to set.
    if (created && (info.st_mode & 07777) != mode && chmod(folder.c_str(), mode) != 0) {
        throwErrno(errno, "Couldn't set the permissions of the folder", folder);
    }
}

std::optional<std::string> readFile(const fs::path& file, std::size_t maxSize) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throwErrno(errno, "Couldn't read", file);
    }
    std::string contents;
    char buffer[16384];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            close(fd);
            throwErrno(error, "Couldn't read", file);
        }
        if (n == 0) {
            break;
        }
        if (static_cast<std::size_t>(n) > maxSize - contents.size()) {
            close(fd);
            throwErrno(EFBIG, "Couldn't read", file);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return contents;
}

void writeFileAtomically(const fs::path& file, std::string_view contents, mode_t mode) {
    TemporaryFile temporary(file);
    if (fchmod(temporary.fd(), mode) != 0) {
        throwErrno(errno, "Couldn't set the permissions of", file);
    }
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = write(temporary.fd(), contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno(errno, "Couldn't write", file);
        }
        written += static_cast<std::size_t>(n);
    }
    if (fsync(temporary.fd()) != 0) {
        throwErrno(errno, "Couldn't flush", file);
    }
    if (temporary.closeNow() != 0) {
        throwErrno(errno, "Couldn't write", file);
    }
    if (rename(temporary.path().c_str(), file.c_str()) != 0) {
        throwErrno(errno, "Couldn't replace", file);
    }
    temporary.commit();
    syncFolder(file.parent_path());
}

} // namespace System::Paths
