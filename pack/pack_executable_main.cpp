// pack-executable: the packing step's command line,
// `pack-executable --limit BYTES --search-rounds N XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT`.
// Packs the program both ways, writes the smaller and says on stdout what each way came to.
#include "elf_image.h"
#include "file_io.h"
#include "packing.h"
#include "readelf_check.h"

#include <cstdio>
#include <string>

namespace {

void print_sizes(const packing::PackedFile& packed)
{
    std::printf("%-8s stub %4zu + payload %4zu = %4zu bytes\n", packed.way.c_str(), packed.stub_size,
                packed.payload_size(), packed.bytes.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 9 || std::string(argv[1]) != "--limit" || std::string(argv[3]) != "--search-rounds")
    {
        std::fprintf(stderr, "usage: pack-executable --limit BYTES --search-rounds N XZCAT_STUB DECODER_STUB_OBJECT "
                             "PROGRAM OUTPUT\n");
        return 2;
    }
    std::string xzcat_stub = argv[5], decoder_stub = argv[6], program = argv[7], output = argv[8];
    try
    {
        std::size_t limit = std::stoul(argv[2]);
        int rounds = std::stoi(argv[4]);
        std::vector<std::uint8_t> program_bytes = support::read_file(program);
        packing::elf::read(program_bytes);
        packing::context_mixing::ModelSet models =
            packing::context_mixing::search_models(program_bytes, packing::context_mixing::default_models(), rounds);
        packing::PackedFile decoded = packing::pack_with_decoder(
            packing::read_stub_object(support::read_file(decoder_stub)), program_bytes, models);
        packing::PackedFile unpacked_by_xzcat = packing::pack_with_xzcat(support::read_file(xzcat_stub), program_bytes);
        print_sizes(decoded);
        print_sizes(unpacked_by_xzcat);
        const packing::PackedFile& shipped = packing::smaller_within(decoded, unpacked_by_xzcat, limit);
        support::write_file_atomically(output, shipped.bytes, {.mode = 0755, .check = packing::check_with_readelf});
        std::printf("shipped: %s\n", shipped.way.c_str());
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "pack-executable: %s: %s\n", output.c_str(), error.what());
        return 1;
    }
}
