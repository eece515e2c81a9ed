// Child processes in groups of their own, with captured output, deadlines and reaping (see
// process.h).
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace support {

namespace {

using namespace std::chrono_literals;

constexpr auto poll_interval = 10ms;
constexpr auto end_timeout = 5s;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

} // namespace

int milliseconds_left(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool poll_until(Duration timeout, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + timeout;
    for (;;)
    {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll_interval);
    }
}

ExitStatus ExitStatus::from_wait_status(int status)
{
    if (WIFEXITED(status))
        return {true, WEXITSTATUS(status), 0};
    return {false, 0, WTERMSIG(status)};
}

std::string ExitStatus::text() const
{
    if (exited)
        return "exit status " + std::to_string(code);
    return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

Environment current_environment()
{
    Environment environment;
    for (char** variable = environ; *variable; ++variable)
    {
        std::string_view text = *variable;
        std::size_t equals = text.find('=');
        if (equals != std::string_view::npos)
            environment.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return environment;
}

std::filesystem::path program_on_path(const std::string& name, std::string_view directories)
{
    while (true)
    {
        std::size_t colon = directories.find(':');
        std::filesystem::path candidate = std::filesystem::path(directories.substr(0, colon)) / name;
        if (!directories.substr(0, colon).empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos)
            throw FileError(name + " is not installed");
        directories.remove_prefix(colon + 1);
    }
}

void adopt_orphans()
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        fail_errno("PR_SET_CHILD_SUBREAPER");
}

std::vector<std::string> leftover_children()
{
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat;
        try
        {
            stat = read_text(entry.path() / "stat");
        }
        catch (const FileError&)
        {
            continue; // the process has gone since the directory was listed
        }
        const auto name_end = stat.rfind(')');
        if (name_end == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(name_end + 2));
        char state = 0;
        pid_t parent = 0;
        fields >> state >> parent;
        if (parent != getpid())
            continue;
        const pid_t pid = std::stoi(name);
        if (state != 'Z')
        {
            left.push_back(name + " " + stat.substr(stat.find('('), name_end - stat.find('(') + 1));
            kill(pid, SIGKILL);
        }
        waitpid(pid, nullptr, 0);
    }
    return left;
}

Process::Process(const std::filesystem::path& program, LaunchOptions options)
{
    std::vector<std::string> arguments{program.string()};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (const auto& [name, value] : options.environment)
        variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output = open((output_dir_.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int error = open((output_dir_.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (input < 0 || output < 0 || error < 0)
        fail_errno("opening the child's standard streams");
    const char* directory = options.working_directory.empty() ? nullptr : options.working_directory.c_str();

    pid_ = fork();
    if (pid_ < 0)
        fail_errno("fork");
    if (pid_ == 0)
    {
        // Only async-signal-safe calls from here to execve, but for the caller's own step.
        setpgid(0, 0);
        dup2(input, 0);
        dup2(output, 1);
        dup2(error, 2);
        syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        if (options.inherited_fd >= 0)
            fcntl(options.inherited_fd, F_SETFD, 0);
        if (directory && chdir(directory) != 0)
            _exit(126);
        if (options.before_exec)
            options.before_exec();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    close(input);
    close(output);
    close(error);
}

Process::~Process()
{
    try
    {
        end();
    }
    catch (const std::exception&)
    {
        // A destructor cannot report it; the group is at least sent SIGKILL.
        kill(-pid_, SIGKILL);
    }
}

bool Process::running()
{
    if (status_)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = ExitStatus::from_wait_status(status);
    return !status_;
}

std::optional<ExitStatus> Process::wait_for_exit(Duration deadline)
{
    const auto end = Clock::now() + deadline;
    if (status_)
        return status_;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0)
        fail_errno("pidfd_open");
    pollfd ready{pidfd, POLLIN, 0};
    int polled;
    while ((polled = poll(&ready, 1, milliseconds_left(end))) < 0 && errno == EINTR)
    {}
    close(pidfd);
    int status = 0;
    if (polled > 0 && waitpid(pid_, &status, 0) == pid_)
        status_ = ExitStatus::from_wait_status(status);
    return status_;
}

ExitStatus Process::wait()
{
    int status = 0;
    while (!status_)
    {
        if (waitpid(pid_, &status, 0) == pid_)
            status_ = ExitStatus::from_wait_status(status);
        else if (errno != EINTR)
            fail_errno("waitpid");
    }
    return *status_;
}

ExitStatus Process::end(int signal)
{
    if (!status_)
    {
        kill(-pid_, signal);
        if (!wait_for_exit(end_timeout))
        {
            kill(-pid_, SIGKILL);
            wait_for_exit(end_timeout);
        }
    }
    reap_group(end_timeout);
    if (!status_)
        fail("process " + std::to_string(pid_) + " did not end on SIGKILL");
    return *status_;
}

void Process::reap_group(Duration deadline)
{
    // Members the leader left behind, killed; those that were its children are this process's
    // own now (adopt_orphans), so they are reaped here rather than left as zombies.
    kill(-pid_, SIGKILL);
    poll_until(deadline, [this] {
        while (waitpid(-pid_, nullptr, WNOHANG) > 0)
        {}
        return kill(-pid_, 0) != 0;
    });
}

std::string Process::standard_output() const
{
    return read_text(output_dir_.path() / "stdout");
}

std::string Process::standard_error() const
{
    return read_text(output_dir_.path() / "stderr");
}

long Process::resident_kib() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

Finished run(const std::vector<std::string>& command, std::function<void()> before_exec)
{
    Process process(
        command.at(0),
        LaunchOptions{{command.begin() + 1, command.end()}, current_environment(), {}, -1, std::move(before_exec)});
    ExitStatus status = process.wait();
    return {status, process.standard_output(), process.standard_error()};
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty())
    {
        std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

} // namespace support
