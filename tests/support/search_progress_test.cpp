// A slow search's progress report driven step by step on a clock of the test's own, in both forms.
#include "search_progress.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;

// The time spent counts from before the first step, whose size is the start's; a quarter of the
// rounds in 20 s leaves at most 60 s. A terminal's line is rewritten at most every 200 ms but at
// every round's end, and ended before the outcome.
TEST(SearchProgress, WritesEachFormsLinesByItsClock)
{
    support::SearchProgress::Clock::time_point now{1h};
    std::ostringstream plain_out, terminal_out;
    support::SearchProgress plain("in.frag names", 4, plain_out, false, [&] { return now; }),
        terminal("in.frag names", 4, terminal_out, true, [&] { return now; });
    const std::pair<std::chrono::milliseconds, support::SearchStep> steps[] = {
        {10s, {1, 0, 800}}, {0s, {1, 0.5, 790}}, {300ms, {1, 0.5, 785}}, {9700ms, {1, 1, 780}}, {30s, {2, 1, 700}}};
    for (auto [wait, step] : steps)
    {
        now += wait;
        plain.report(step);
        terminal.report(step);
    }
    plain.finish("names: rewritten");
    terminal.finish("names: rewritten");
    EXPECT_EQ(plain_out.str(), "in.frag names: round 1 of 4, 780.0 bytes (start 800.0), 20 s spent, at most 60 s left\n"
                               "in.frag names: round 2 of 4, 700.0 bytes (start 800.0), 50 s spent, at most 50 s left\n"
                               "names: rewritten\n");
    EXPECT_EQ(terminal_out.str(),
              "\rin.frag names: round 1 of 4 (0%), 800.0 bytes (start 800.0), 10 s spent\033[K"
              "\rin.frag names: round 1 of 4 (50%), 785.0 bytes (start 800.0), 10 s spent, at most 72 s left\033[K"
              "\rin.frag names: round 1 of 4, 780.0 bytes (start 800.0), 20 s spent, at most 60 s left\033[K"
              "\rin.frag names: round 2 of 4, 700.0 bytes (start 800.0), 50 s spent, at most 50 s left\033[K"
              "\nnames: rewritten\n");
}
