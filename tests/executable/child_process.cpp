// Running a program as a child process for the executable tests (see child_process.h).
#include "child_process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

Finished run_child(const std::vector<std::string>& argv, const std::function<void()>& before_exec)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        std::abort();
    pid_t child = fork();
    if (child == 0)
    {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        std::vector<char*> arguments;
        for (const std::string& argument : argv)
            arguments.push_back(const_cast<char*>(argument.c_str()));
        arguments.push_back(nullptr);
        if (before_exec)
            before_exec();
        execv(arguments[0], arguments.data());
        _exit(126);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Finished finished;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&finished.out, &finished.err};
    int open_pipes = 2;
    while (open_pipes > 0 && poll(fds, 2, -1) > 0)
        for (int i = 0; i < 2; ++i)
            if (fds[i].fd >= 0 && fds[i].revents)
            {
                char buffer[4096];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0)
                    sinks[i]->append(buffer, n);
                else
                {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_pipes;
                }
            }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        finished.exit_code = WEXITSTATUS(status);
    else
        finished.signal = WTERMSIG(status);
    return finished;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}
