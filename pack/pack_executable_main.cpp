// pack-executable: the packing step's command line,
// `pack-executable --limit BYTES STUB PROGRAM OUTPUT`.
#include "elf_image.h"
#include "file_io.h"
#include "packing.h"
#include "readelf_check.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 6 || std::string(argv[1]) != "--limit")
    {
        std::fprintf(stderr, "usage: pack-executable --limit BYTES STUB PROGRAM OUTPUT\n");
        return 2;
    }
    std::string stub = argv[3], program = argv[4], output = argv[5];
    try
    {
        std::size_t limit = std::stoul(argv[2]);
        std::vector<std::uint8_t> program_bytes = support::read_file(program);
        packing::elf::read(program_bytes);
        std::vector<std::uint8_t> packed =
            packing::pack_executable(support::read_file(stub), packing::compress_payload(program_bytes), limit);
        support::write_file_atomically(output, packed, {.mode = 0755, .check = packing::check_with_readelf});
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "pack-executable: %s: %s\n", output.c_str(), error.what());
        return 1;
    }
}
