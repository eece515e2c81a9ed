// trim_executable: the post-link step's command line, `trim_executable LINKED OUTPUT`.
#include "file_io.h"
#include "help_option.h"
#include "readelf_check.h"
#include "trim.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    constexpr char usage[] = "usage: trim_executable LINKED OUTPUT";
    if (support::answered_help(argc, argv, usage))
        return 0;
    if (argc != 3)
    {
        std::fprintf(stderr, "trim_executable: LINKED OUTPUT are two arguments, not %d\n%s\n", argc - 1, usage);
        return 2;
    }
    std::string linked = argv[1], output = argv[2];
    try
    {
        std::vector<std::uint8_t> trimmed = executable_packer::trim_executable(support::read_file(linked));
        support::write_file_atomically(output, trimmed, {.mode = 0755, .check = executable_packer::check_with_readelf});
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "trim_executable: %s: %s\n", linked.c_str(), error.what());
        return 1;
    }
}
