// Child processes: how they ended, what they printed, the step run in the child before the
// program, deadlines, and ending a whole process group.
#include "process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using support::Finished;
using support::run;

TEST(Run, ReportsTheExitStatusAndCapturesBothStreamsApart)
{
    Finished finished = run({"/bin/sh", "-c", "echo out; echo err >&2; printf 'no newline'; exit 3"});
    EXPECT_TRUE(finished.status.exited);
    EXPECT_EQ(finished.status.code, 3);
    EXPECT_FALSE(finished.status.clean_exit());
    EXPECT_EQ(finished.status.text(), "exit status 3");
    EXPECT_EQ(finished.out, "out\nno newline");
    EXPECT_EQ(finished.err, "err\n");
    EXPECT_TRUE(run({"/bin/true"}).status.clean_exit());
}

TEST(Run, ReportsTheSignalThatEndedTheProgram)
{
    Finished finished = run({"/bin/sh", "-c", "kill -USR1 $$; sleep 5"});
    EXPECT_FALSE(finished.status.exited);
    EXPECT_EQ(finished.status.signal, SIGUSR1);
    EXPECT_NE(finished.status.text().find("signal 10"), std::string::npos) << finished.status.text();
}

TEST(Run, GivesTheProgramThisProcesssEnvironmentAndNoInput)
{
    setenv("SUPPORT_TEST_VARIABLE", "value with spaces", 1);
    Finished finished = run({"/bin/sh", "-c", "echo \"$SUPPORT_TEST_VARIABLE\"; cat"});
    unsetenv("SUPPORT_TEST_VARIABLE");
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text();
    EXPECT_EQ(finished.out, "value with spaces\n") << "stdin is empty, so cat adds nothing";
}

// The step runs in the child, with the child's streams in place, before the program starts; the
// parent sees nothing of what it changes.
int steps_run_here = 0;

TEST(Run, RunsTheStepInTheChildJustBeforeTheProgram)
{
    Finished finished = run({"/bin/sh", "-c", "echo program"}, [] {
        ++steps_run_here;
        static const char line[] = "step\n";
        if (write(1, line, sizeof line - 1) < 0)
            _exit(90);
    });
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text();
    EXPECT_EQ(finished.out, "step\nprogram\n");
    EXPECT_EQ(steps_run_here, 0);

    Finished refused = run({"/bin/true"}, [] { _exit(42); });
    EXPECT_TRUE(refused.status.clean_exit(42)) << "the program never ran: " << refused.status.text();
}

TEST(Process, WaitsUpToADeadlineAndEndsTheWholeGroup)
{
    support::adopt_orphans();
    support::Process shell("/bin/sh", {{"-c", "sleep 30 & echo $!; wait"}, {{"PATH", "/usr/bin:/bin"}}});
    EXPECT_FALSE(shell.wait_for_exit(100ms));
    EXPECT_TRUE(shell.running());
    std::string sleeper;
    ASSERT_TRUE(support::poll_until(10s, [&] { return !(sleeper = shell.standard_output()).empty(); }));
    const pid_t grandchild = std::stoi(sleeper);
    EXPECT_EQ(getpgid(grandchild), shell.pid()) << "the shell's child shares its group";

    support::ExitStatus ended = shell.end(SIGTERM);
    EXPECT_FALSE(ended.exited);
    EXPECT_EQ(ended.signal, SIGTERM);
    EXPECT_FALSE(shell.running());
    EXPECT_TRUE(support::poll_until(5s, [&] { return kill(grandchild, 0) != 0; })) << "the sleep outlived its group";
    EXPECT_TRUE(support::leftover_children().empty());
}

TEST(ProgramOnPath, FindsTheFirstExecutableOfThatName)
{
    EXPECT_EQ(support::program_on_path("sh", "/nonexistent::/bin:/usr/bin"), "/bin/sh");
    EXPECT_THROW(support::program_on_path("no-such-program-here", "/bin:/usr/bin"), support::FileError);
    EXPECT_THROW(support::program_on_path("passwd", "/etc"), support::FileError) << "not executable";
}

TEST(LinesOf, SplitsAtNewlinesWithOrWithoutAFinalOne)
{
    EXPECT_EQ(support::lines_of("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(support::lines_of("a\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(support::lines_of("").empty());
}

} // namespace
