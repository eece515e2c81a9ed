// Whole-file reading, all-or-nothing writing and the readelf check (see file_io.h).
#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::string system_error(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

// Runs the program found on PATH and returns its exit status and everything it printed.
std::pair<int, std::string> run_and_capture(std::vector<std::string> arguments)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        throw FileError(system_error("cannot make a pipe for", arguments[0]));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, n);
    close(pipe_ends[0]);
    if (spawned != 0)
        throw FileError("cannot run " + arguments[0] + ": " + std::strerror(spawned));
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output};
}

} // namespace

std::vector<std::uint8_t> read_file(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileError(system_error("cannot open", path));
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    int read_errno = errno;
    close(fd);
    if (n < 0)
    {
        errno = read_errno;
        throw FileError(system_error("cannot read", path));
    }
    return bytes;
}

void write_file_atomically(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                           const std::function<void(const std::string&)>& check)
{
    std::string temporary = path + ".partial-XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0)
        throw FileError(system_error("cannot create a temporary file for", path));
    try
    {
        std::size_t written = 0;
        while (written < bytes.size())
        {
            ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0)
                throw FileError(system_error("cannot write", temporary));
            written += n;
        }
        if (fchmod(fd, mode) != 0 || close(fd) != 0)
        {
            fd = -1;
            throw FileError(system_error("cannot finish", temporary));
        }
        fd = -1;
        if (check)
            check(temporary);
        if (rename(temporary.c_str(), path.c_str()) != 0)
            throw FileError(system_error("cannot rename " + temporary + " to", path));
    }
    catch (...)
    {
        if (fd >= 0)
            close(fd);
        unlink(temporary.c_str());
        throw;
    }
}

void check_with_readelf(const std::string& path)
{
    auto [status, output] = run_and_capture({"readelf", "-lWd", path});
    if (status != 0 || output.find("Warning") != std::string::npos || output.find("Error") != std::string::npos)
        throw FileError("readelf does not accept " + path + ":\n" + output);
}
