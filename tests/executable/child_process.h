// Running a program as a child process for the executable tests: its exit, its output, and an
// optional step run in the child just before the program replaces it.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct Finished
{
    int exit_code = -1; // -1 when a signal ended it
    int signal = 0;     // the signal that ended it, 0 when it exited
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with the given arguments and the test's environment, stdin from
// /dev/null, and waits for it. before_exec runs in the child after fork.
Finished run_child(const std::vector<std::string>& argv, const std::function<void()>& before_exec = {});

// Lines of text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
