// Whole files: read at once, written all or nothing beside their place, and temporary directories
// that go with their contents.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace support {

// A file that cannot be read or written, with the path and the system's reason in one line.
class FileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> read_file(const std::filesystem::path& path);
std::string read_text(const std::filesystem::path& path);

struct WriteOptions
{
    // The file's permission bits; none: those of an ordinary new file (0666 less the umask).
    std::optional<mode_t> mode;
    // Runs on the complete temporary file's path before it takes the file's place; it refuses
    // the file by throwing.
    std::function<void(const std::string&)> check;
};

// Writes the bytes to a temporary file beside path, runs the check on it, then renames it to
// path, so that path holds either its old content or the whole new one. When anything fails the
// temporary file is removed, path is left as it was, and the failure is thrown (FileError, or
// what the check threw). Ctrl-C, a hang-up or a kill that comes meanwhile waits until the file
// is in its place or the failure is cleaned up.
void write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           const WriteOptions& options = {});
void write_file_atomically(const std::filesystem::path& path, std::string_view text, const WriteOptions& options = {});

// A fresh directory of its own with mode 0700 (as XDG_RUNTIME_DIR must be), removed with its
// contents when the object goes.
class TempDir
{
public:
    explicit TempDir(const std::string& prefix);
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace support
