// trim-executable: the post-link step's command line, `trim-executable LINKED OUTPUT`.
#include "elf_image.h"
#include "file_io.h"
#include "trim.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: trim-executable LINKED OUTPUT\n");
        return 2;
    }
    std::string linked = argv[1], output = argv[2];
    try
    {
        std::vector<std::uint8_t> trimmed = trim_executable(read_file(linked));
        write_file_atomically(output, trimmed, 0755, check_with_readelf);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "trim-executable: %s: %s\n", linked.c_str(), error.what());
        return 1;
    }
}
