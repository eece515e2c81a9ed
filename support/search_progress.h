// How far a slow search has got, told as it goes: on a terminal one line rewritten in place,
// elsewhere (a log, CI) one plain line a round, so that logs stay readable.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

namespace support {

// Where a search stands: in round `round` (from 1), `done` of the way through it (0 to 1, and 1
// once the round is over), with the best size found so far. A search's first step is round 1,
// done 0, at the size it starts from.
struct SearchStep
{
    int round = 1;
    double done = 0;
    double best = 0;
};

// What a search calls at each step; it may be empty.
using SearchObserver = std::function<void(const SearchStep&)>;

// Whether the descriptor is a terminal that takes the escape that clears a line (TERM is not
// "dumb").
bool is_terminal(int fd);

// The report of one search of at most `rounds` rounds, its sizes in bytes:
//   picture.frag names: round 2 of 4, 1071.8 bytes (start 1080.3), 42 s spent, at most 40 s left
// where the time left supposes that every round is run.
class SearchProgress
{
public:
    using Clock = std::chrono::steady_clock;
    // The time is clock's: the steady clock's, or one that a test sets.
    SearchProgress(std::string search, int rounds, std::ostream& out, bool terminal,
                   std::function<Clock::time_point()> clock = Clock::now);
    SearchProgress(const SearchProgress&) = delete;
    SearchProgress& operator=(const SearchProgress&) = delete;

    // On a terminal, rewrites the line at most a few times a second and at each round's end;
    // elsewhere writes a line at each round's end.
    void report(const SearchStep& step);
    // The observer that reports here, for the search to call.
    SearchObserver observer();
    // Ends the line in place, then writes the search's outcome as a line of its own.
    void finish(const std::string& outcome);

private:
    std::string line(const SearchStep& step) const;

    std::string search_;
    int rounds_;
    std::ostream& out_;
    bool terminal_;
    std::function<Clock::time_point()> clock_;
    Clock::time_point started_, shown_{};
    double start_ = 0;
    bool started_reporting_ = false, line_open_ = false;
};

} // namespace support
