// Whole-file reading, all-or-nothing writing and temporary directories (see file_io.h).
#include "file_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace support {

namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error = errno)
{
    throw FileError(what + " " + path.string() + ": " + std::strerror(error));
}

template <class Bytes>
Bytes read_whole(const std::filesystem::path& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot open", path);
    Bytes bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    int read_error = errno;
    close(fd);
    if (n < 0)
        fail("cannot read", path, read_error);
    return bytes;
}

// The mode an ordinary new file gets, rather than mkstemp's 0600.
mode_t ordinary_file_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Holds back the signals that end a process from the keyboard, a terminal or kill while it
// lives, so that an interrupted write still ends with the file in its place and no temporary one.
class EndingSignalsHeld
{
public:
    EndingSignalsHeld()
    {
        sigset_t ending;
        sigemptyset(&ending);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&ending, signal);
        pthread_sigmask(SIG_BLOCK, &ending, &previous_);
    }
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;
    ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

} // namespace

std::vector<std::uint8_t> read_file(const std::filesystem::path& path)
{
    return read_whole<std::vector<std::uint8_t>>(path);
}

std::string read_text(const std::filesystem::path& path)
{
    return read_whole<std::string>(path);
}

void write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                           const WriteOptions& options)
{
    EndingSignalsHeld held;
    std::string temporary = path.string() + ".partial-XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0)
        fail("cannot create a temporary file for", path);
    try
    {
        for (std::size_t written = 0; written < bytes.size();)
        {
            ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0)
                fail("cannot write", temporary);
            written += n;
        }
        if (fchmod(fd, options.mode.value_or(ordinary_file_mode())) != 0 || fsync(fd) != 0)
            fail("cannot finish", temporary);
        int closed = close(fd);
        fd = -1;
        if (closed != 0)
            fail("cannot finish", temporary);
        if (options.check)
            options.check(temporary);
        if (rename(temporary.c_str(), path.c_str()) != 0)
            fail("cannot rename " + temporary + " to", path);
    }
    catch (...)
    {
        if (fd >= 0)
            close(fd);
        unlink(temporary.c_str());
        throw;
    }
}

void write_file_atomically(const std::filesystem::path& path, std::string_view text, const WriteOptions& options)
{
    write_file_atomically(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, options);
}

TempDir::TempDir(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        fail("cannot make a temporary directory", pattern);
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace support
