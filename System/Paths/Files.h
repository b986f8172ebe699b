#pragma once

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// File-system steps that must not leave a half-written or over-exposed file behind.
namespace System::Paths {

// Creates `folder` and any missing parents with `mode` (`folder` itself gets exactly that mode, whatever the
// umask); a folder that already exists keeps the permissions it has. Throws std::system_error naming the
// folder.
void createDirectories(const std::filesystem::path& folder, mode_t mode);

// The whole contents of `file`; nothing when it does not exist. Throws std::system_error naming the file when
// it exists but cannot be read, and (file_too_large) when it holds more than `maxSize` bytes, before reading
// more than that.
std::optional<std::string> readFile(const std::filesystem::path& file,
                                    std::size_t maxSize = std::numeric_limits<std::size_t>::max());

// Replaces `file` with `contents` so that a reader sees the old or the new contents, never a part: the bytes
// go to a temporary file in the same folder that has `mode` from its creation on, are flushed to the disk,
// and the temporary file is then renamed over `file`. On failure the temporary file is removed, `file` is
// left as it was, and std::system_error naming the file is thrown.
void writeFileAtomically(const std::filesystem::path& file, std::string_view contents, mode_t mode);

} // namespace System::Paths
