// A slow search's report as it goes (see search_progress.h).
#include "search_progress.h"

#include "decimal_text.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace support {

namespace {

std::string duration_text(double seconds)
{
    long whole = std::lround(seconds);
    if (whole < 120)
        return std::to_string(whole) + " s";
    return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
}

} // namespace

bool is_terminal(int fd)
{
    const char* term = std::getenv("TERM");
    return isatty(fd) && term && std::string_view(term) != "dumb";
}

SearchProgress::SearchProgress(std::string search, int rounds, std::ostream& out, bool terminal,
                               std::function<Clock::time_point()> clock)
    : search_(std::move(search)), rounds_(rounds), out_(out), terminal_(terminal), clock_(std::move(clock)),
      started_(clock_())
{}

std::string SearchProgress::line(const SearchStep& step) const
{
    std::string text = search_ + ": round " + std::to_string(step.round) + " of " + std::to_string(rounds_);
    if (terminal_ && step.done < 1)
        text += " (" + std::to_string(static_cast<int>(100 * step.done)) + "%)";
    text += ", " + fixed_decimal(step.best, 1) + " bytes (start " + fixed_decimal(start_, 1) + ")";
    double spent = std::chrono::duration<double>(clock_() - started_).count();
    text += ", " + duration_text(spent) + " spent";
    double progress = (step.round - 1 + step.done) / rounds_;
    if (progress > 0)
        text += ", at most " + duration_text(spent / progress * (1 - progress)) + " left";
    return text;
}

void SearchProgress::report(const SearchStep& step)
{
    if (!started_reporting_)
    {
        start_ = step.best;
        started_reporting_ = true;
    }
    bool round_over = step.done >= 1;
    if (!terminal_)
    {
        if (round_over)
            out_ << line(step) << "\n" << std::flush;
        return;
    }
    Clock::time_point now = clock_();
    if (!round_over && now - shown_ < std::chrono::milliseconds(200))
        return;
    shown_ = now;
    out_ << "\r" << line(step) << "\033[K" << std::flush;
    line_open_ = true;
}

SearchObserver SearchProgress::observer()
{
    return [this](const SearchStep& step) { report(step); };
}

void SearchProgress::finish(const std::string& outcome)
{
    if (line_open_)
        out_ << "\n";
    line_open_ = false;
    out_ << outcome << "\n" << std::flush;
}

} // namespace support
