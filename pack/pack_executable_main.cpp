// pack-executable: the packing step's command line, `pack-executable --limit BYTES --models RECORD
// [--toolchain WORDS] [--tune ROUNDS] XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT`.
// Packs the program both ways, the decoder's with the coder's models from the reuse record,
// writes the smaller and says on stdout what each way came to. With --tune the models are
// searched for again, in that many rounds, and the record is written anew, naming the toolchain
// (the compiler and linker that built the program) given with --toolchain.
#include "elf_image.h"
#include "file_io.h"
#include "packing.h"
#include "readelf_check.h"
#include "record_file.h"

#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace cm = packing::context_mixing;

namespace {

void print_sizes(const packing::PackedFile& packed)
{
    std::printf("%-8s stub %4zu + payload %4zu = %4zu bytes\n", packed.way.c_str(), packed.stub_size,
                packed.payload_size(), packed.bytes.size());
}

// The models for the program: the record's, or with rounds, what the search finds (and the
// record is rewritten). Says on stderr when the record was made for another program, naming both
// toolchains where this build's is given and is not the record's.
cm::ModelSet models_for(const std::vector<std::uint8_t>& program, const std::string& record_path,
                        const std::string& toolchain, int rounds)
{
    cm::ModelsRecord record;
    std::string program_fingerprint =
        support::fingerprint({reinterpret_cast<const char*>(program.data()), program.size()});
    if (rounds > 0)
    {
        record = {program_fingerprint, toolchain, cm::search_models(program, cm::default_models(), rounds)};
        support::write_file_atomically(record_path, cm::models_record_text(record));
        return record.models;
    }
    record = cm::parse_models_record(support::read_text(record_path));
    std::string built_elsewhere = toolchain.empty() || toolchain == record.toolchain
                                      ? ""
                                      : ", which ran on " + record.toolchain + ", not this build's " + toolchain;
    if (record.program != program_fingerprint)
        std::fprintf(stderr,
                     "pack-executable: %s: stale, the program has changed since the search%s; the models are not "
                     "the search's until `make tune` refreshes it\n",
                     record_path.c_str(), built_elsewhere.c_str());
    return record.models;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::set<std::string> known = {"--limit", "--models", "--toolchain", "--tune"};
    std::map<std::string, std::string> options;
    while (arguments.size() > 4 && known.contains(arguments[0]) && options.emplace(arguments[0], arguments[1]).second)
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    bool tuning = options.contains("--tune");
    if (arguments.size() != 4 || !options.contains("--limit") || !options.contains("--models") ||
        (tuning && !options.contains("--toolchain")))
    {
        std::fprintf(stderr, "usage: pack-executable --limit BYTES --models RECORD [--toolchain WORDS] [--tune ROUNDS] "
                             "XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT, with --toolchain for --tune\n");
        return 2;
    }
    std::string limit_text = options["--limit"], record = options["--models"], toolchain = options["--toolchain"],
                rounds_text = tuning ? options["--tune"] : "0";
    std::string xzcat_stub = arguments[0], decoder_stub = arguments[1], program = arguments[2], output = arguments[3];
    try
    {
        std::size_t limit = std::stoul(limit_text);
        int rounds = std::stoi(rounds_text);
        if (tuning && rounds < 1)
            throw std::invalid_argument("--tune takes one round or more");
        std::vector<std::uint8_t> program_bytes = support::read_file(program);
        packing::elf::read(program_bytes);
        cm::ModelSet models = models_for(program_bytes, record, toolchain, rounds);
        packing::PackedFile decoded = packing::pack_with_decoder(
            packing::read_stub_object(support::read_file(decoder_stub)), program_bytes, models);
        packing::PackedFile unpacked_by_xzcat = packing::pack_with_xzcat(support::read_file(xzcat_stub), program_bytes);
        print_sizes(decoded);
        print_sizes(unpacked_by_xzcat);
        const packing::PackedFile& shipped = packing::smaller_within(decoded, unpacked_by_xzcat, limit);
        support::write_file_atomically(output, shipped.bytes, {.mode = 0755, .check = packing::check_with_readelf});
        std::printf("shipped: %s\n", shipped.way.c_str());
    }
    catch (const support::RecordError& error)
    {
        std::fprintf(stderr, "%s:%d: error: %s\n", record.c_str(), error.line(), error.what());
        return 1;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "pack-executable: %s: %s\n", output.c_str(), error.what());
        return 1;
    }
}
