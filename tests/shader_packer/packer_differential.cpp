// packer_differential SEED COUNT: draws COUNT random programs from SEED on in readable and
// compact form and prints the smallest failing program it finds; status 1 when one fails.
#include "random_programs.h"

#include "offscreen.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::cerr << "usage: packer_differential SEED COUNT\n";
        return 2;
    }
    std::uint64_t seed = std::stoull(argv[1]), count = std::stoull(argv[2]);
    offscreen::Context context;
    if (std::optional<offscreen::Failure> failure = context.open())
    {
        std::cerr << failure->message << "\n";
        return 2;
    }
    constexpr std::uint64_t batch = 40;
    for (std::uint64_t first = seed; first < seed + count; first += batch)
    {
        std::vector<std::string> bodies;
        for (std::uint64_t s = first; s < std::min(first + batch, seed + count); ++s)
            bodies.push_back(random_programs::body_text(random_programs::random_program(s)));
        std::optional<std::string> batch_difference = random_programs::difference(bodies);
        if (!batch_difference)
            continue;
        for (std::uint64_t s = first; s < first + bodies.size(); ++s)
        {
            random_programs::Program program = random_programs::random_program(s);
            std::optional<std::string> found = random_programs::difference({random_programs::body_text(program)});
            if (!found)
                continue;
            std::cerr << "seed " << s << " fails (" << found->substr(0, found->find('\n')) << "); shrinking it\n";
            random_programs::Program smallest = random_programs::shrunk(program);
            std::string body = random_programs::body_text(smallest);
            std::cout << "seed " << s << " fails; smallest failing body:\n"
                      << body << "\n"
                      << *random_programs::difference({body}) << "\n\nwhole readable program:\n"
                      << random_programs::fragment_source(std::vector<std::string>{body});
            return 1;
        }
        // Every program alone draws the same bits: the fault needs the others' company (what
        // they share: letters, constants), so the batch is what is shown.
        std::cout << "seeds " << first << " to " << first + bodies.size() - 1 << " fail together (row = seed - "
                  << first << "), each alone passes:\n"
                  << *batch_difference << "\n";
        return 1;
    }
    std::cout << count << " programs from seed " << seed << " draw the same bits\n";
    return 0;
}
