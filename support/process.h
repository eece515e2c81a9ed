// Child processes: started in a process group of their own with their output captured, waited
// for with deadlines or to the end, and ended with everything they started.
#pragma once

#include "file_io.h"

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace support {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

// Calls `done` until it returns true or `timeout` has passed; true if it did. Polls every few
// milliseconds, so a condition that holds early ends the wait early.
bool poll_until(Duration timeout, const std::function<bool()>& done);

// The time left until the deadline in whole milliseconds (rounded up, none once it has passed),
// as poll(2) takes a timeout.
int milliseconds_left(Clock::time_point deadline);

// How a process ended: an exit status or the signal that killed it.
struct ExitStatus
{
    bool exited = false;
    int code = 0;
    int signal = 0;

    static ExitStatus from_wait_status(int status);
    bool clean_exit(int expected_code = 0) const { return exited && code == expected_code; }
    std::string text() const;
};

using Environment = std::map<std::string, std::string>;

// This process's own environment.
Environment current_environment();

// The full path of the program `name` in the first of the colon-separated directories that holds
// it as an executable file; throws FileError when none does.
std::filesystem::path program_on_path(const std::string& name, std::string_view directories);

struct LaunchOptions
{
    std::vector<std::string> arguments;
    // The child's whole environment: nothing is inherited.
    Environment environment;
    // Empty: this process's own.
    std::filesystem::path working_directory;
    // A descriptor that stays open in the child under the same number; -1 for none.
    int inherited_fd = -1;
    // Runs in the child once its streams and directory are set, just before the program
    // replaces it.
    std::function<void()> before_exec;
};

// Makes this process the reaper of orphaned descendants, so that anything a child leaves
// behind becomes a child of this process and cannot escape leftover_children(). Idempotent.
void adopt_orphans();

// Children of this process still alive once every Process object has gone: each one is killed
// and reaped, and returned as "PID (NAME)". Exited ones are reaped silently.
std::vector<std::string> leftover_children();

// A child started in a process group of its own, stdin from /dev/null, stdout and stderr
// captured to files. The destructor ends the whole group (SIGTERM, then SIGKILL) and reaps it.
class Process
{
public:
    // program is a path; it is not looked up.
    Process(const std::filesystem::path& program, LaunchOptions options);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    pid_t pid() const { return pid_; }
    // False once the process has ended (and then it has been reaped).
    bool running();
    // Waits until the process ends or the deadline passes.
    std::optional<ExitStatus> wait_for_exit(Duration deadline);
    // Waits until the process ends, however long that takes.
    ExitStatus wait();
    // Ends the group: `signal` first, SIGKILL if it has not ended in a few seconds.
    ExitStatus end(int signal = SIGTERM);

    std::string standard_output() const;
    std::string standard_error() const;
    // Resident memory (VmRSS) in KiB, from /proc; -1 once the process has gone.
    long resident_kib() const;

private:
    void reap_group(Duration deadline);

    TempDir output_dir_{"output"};
    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
};

// A program run to its end: how it ended and what it printed.
struct Finished
{
    ExitStatus status;
    std::string out;
    std::string err;
};

// Runs command[0] (a path) with the rest as its arguments and this process's environment, as a
// Process, and waits for it to end. before_exec runs in the child just before the program.
Finished run(const std::vector<std::string>& command, std::function<void()> before_exec = {});

// Lines of a text, without their newlines.
std::vector<std::string> lines_of(std::string_view text);

} // namespace support
