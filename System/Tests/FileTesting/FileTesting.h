#pragma once

// Temporary folders and file inspection for tests. Link System::FileTesting to use it.

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace System::FileTesting {

// A fresh, empty folder of its own under the temporary folder, removed with everything in it at the end.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                (name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter()++))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

private:
    static int& counter() {
        static int next = 0;
        return next;
    }
    std::filesystem::path path_;
};

// The permission bits of a file or folder.
inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

// How many entries a folder holds.
inline long entryCount(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
}

} // namespace System::FileTesting
