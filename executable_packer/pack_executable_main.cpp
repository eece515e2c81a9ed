// pack_executable: the packing step's command line, `pack_executable --limit BYTES --models RECORD
// [--toolchain WORDS] [--tune ROUNDS] XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT
// [--report PAGE PICTURE LINKED [SOURCE_LINES...]]`.
// Packs the program both ways, the decoder's with the coder's models from the reuse record,
// writes the smaller and says on stdout what each way came to. With --tune the models are
// searched for again, in that many rounds, with the search's progress on stderr, and the record
// is written anew where it changes, naming the toolchain (the compiler and linker that built the
// program) given with --toolchain. With --report it also writes the size report's page and
// picture, its parts named from LINKED (the linked file the program was trimmed from, or the
// program itself) and its shader texts' lines from the source lines records that pack_shader
// wrote.
#include "elf_image.h"
#include "file_io.h"
#include "help_option.h"
#include "packing.h"
#include "png_file.h"
#include "readelf_check.h"
#include "record_file.h"
#include "size_report.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>

namespace {

// Writes the size report's page and picture: report_arguments are PAGE PICTURE LINKED and the
// source lines records.
void write_size_report(const std::vector<std::string>& report_arguments, const std::vector<std::uint8_t>& program,
                       const coder::ModelSet& models, const std::string& program_path, const std::string& output,
                       const std::vector<const executable_packer::PackedFile*>& ways,
                       const executable_packer::PackedFile& shipped)
{
    std::vector<executable_packer::size_report::ShaderSource> shaders;
    for (std::size_t i = 3; i < report_arguments.size(); ++i)
        shaders.push_back(executable_packer::size_report::read_shader_source(report_arguments[i]));
    executable_packer::size_report::SizeReport report =
        executable_packer::size_report::measure(program, support::read_file(report_arguments[2]), models, shaders);
    report.program_name = std::filesystem::path(program_path).filename();
    report.packed_name = std::filesystem::path(output).filename();
    for (const executable_packer::PackedFile* way : ways)
        report.ways.push_back({way->way, way->stub_size, way->payload_size()});
    report.shipped = shipped.way;
    support::write_file_atomically(report_arguments[0], executable_packer::size_report::page(report));
    support::write_png(report_arguments[1], executable_packer::size_report::picture(report));
    std::printf("report: %s\n", report_arguments[0].c_str());
}

std::string program_fingerprint(const std::vector<std::uint8_t>& program)
{
    return support::fingerprint({reinterpret_cast<const char*>(program.data()), program.size()});
}

void print_sizes(const executable_packer::PackedFile& packed)
{
    std::printf("%-8s stub %4zu + payload %4zu = %4zu bytes\n", packed.way.c_str(), packed.stub_size,
                packed.payload_size(), packed.bytes.size());
}

// The models the record holds for the program. Says on stderr when the record was made for
// another program, naming both toolchains where this build's is given and is not the record's.
coder::ModelSet recorded_models(const std::vector<std::uint8_t>& program, const std::string& record_path,
                                const std::string& toolchain)
{
    coder::ModelsRecord record = coder::parse_models_record(support::read_text(record_path));
    std::string built_elsewhere = toolchain.empty() || toolchain == record.toolchain
                                      ? ""
                                      : ", which ran on " + record.toolchain + ", not this build's " + toolchain;
    if (record.program != program_fingerprint(program))
        std::fprintf(stderr,
                     "pack_executable: %s: stale, the program has changed since the search%s; the models are not "
                     "the search's until `make tune` refreshes it\n",
                     record_path.c_str(), built_elsewhere.c_str());
    return record.models;
}

// The decoder's way with these models, in a few words.
std::string decoder_sizes(const executable_packer::StubObject& stub, std::span<const std::uint8_t> program,
                          const coder::ModelSet& models)
{
    executable_packer::PackedFile packed = executable_packer::pack_with_decoder(stub, program, models);
    return "payload " + std::to_string(packed.payload_size()) + " bytes, packed file " +
           std::to_string(packed.bytes.size()) + " bytes";
}

// Searches the models anew in that many rounds, from the record's where there is one to read,
// telling its progress on stderr, and keeps the record's unless the search finds models that make
// the packed file smaller. Writes the record, naming the toolchain, where it changes; then says on
// stderr what became of it.
coder::ModelSet tuned_models(const std::string& program_path, const std::vector<std::uint8_t>& program,
                             const std::string& record_path, const std::string& toolchain, int rounds,
                             const executable_packer::StubObject& stub)
{
    std::string previous_text;
    std::optional<coder::ModelSet> previous;
    try
    {
        previous_text = support::read_text(record_path);
        previous = coder::parse_models_record(previous_text).models;
    }
    catch (const std::exception&)
    {
        // No record to read: the search writes a new one.
    }
    support::SearchProgress progress(std::filesystem::path(program_path).filename().string() + " models", rounds,
                                     std::cerr, support::is_terminal(STDERR_FILENO));
    coder::ModelsRecord record = {
        program_fingerprint(program), toolchain,
        coder::search_models(program, previous.value_or(coder::default_models()), rounds, progress.observer())};
    auto packed_size = [&](const coder::ModelSet& models) {
        return executable_packer::pack_with_decoder(stub, program, models).bytes.size();
    };
    if (previous && packed_size(record.models) >= packed_size(*previous))
        record.models = *previous;
    std::string text = coder::models_record_text(record);
    if (text == previous_text)
    {
        progress.finish(record_path + ": already current, " + decoder_sizes(stub, program, record.models));
        return record.models;
    }
    support::write_file_atomically(record_path, text);
    progress.finish(record_path + ": rewritten, " + decoder_sizes(stub, program, record.models) +
                    (previous ? "; before, " + decoder_sizes(stub, program, *previous)
                              : "; there was no record to read before"));
    return record.models;
}

// A decimal count from 1 to 2^30, which an int holds, all of the text; 0 for anything else.
std::size_t count_of(const std::string& text)
{
    std::size_t count = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return error == std::errc() && end == text.data() + text.size() && count <= 1u << 30 ? count : 0;
}

constexpr const char* usage =
    "usage: pack_executable --limit BYTES --models RECORD [--toolchain WORDS] [--tune ROUNDS] "
    "XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT [--report PAGE PICTURE LINKED "
    "[SOURCE_LINES...]], with --toolchain for --tune";

struct CommandLine
{
    std::size_t limit = 0;
    int rounds = 0; // no search where 0
    std::string record, toolchain;
    std::vector<std::string> files;  // XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT
    std::vector<std::string> report; // PAGE PICTURE LINKED SOURCE_LINES..., none without --report
};

// The arguments as given, between spaces, for a message.
std::string given(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const std::string& argument : arguments)
        text += (text.empty() ? "" : " ") + argument;
    return arguments.empty() ? "none" : text;
}

// The command line's parts, its options before the files, after them or between, and --report
// last; or what is wrong with it, naming the option and the value given.
std::variant<CommandLine, std::string> parse_command_line(std::vector<std::string> arguments)
{
    CommandLine command;
    auto report_at = std::find(arguments.begin(), arguments.end(), "--report");
    if (report_at != arguments.end())
    {
        command.report.assign(report_at + 1, arguments.end());
        if (command.report.size() < 3)
            return "--report takes PAGE PICTURE LINKED [SOURCE_LINES...], not " + given(command.report);
        arguments.erase(report_at, arguments.end());
    }
    const std::set<std::string> known = {"--limit", "--models", "--toolchain", "--tune"};
    std::map<std::string, std::string> options;
    for (std::size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& argument = arguments[i];
        if (!argument.starts_with("--"))
            command.files.push_back(argument);
        else if (!known.contains(argument))
            return argument + " is no option";
        else if (i + 1 == arguments.size())
            return argument + " needs a value";
        else if (auto [earlier, added] = options.emplace(argument, arguments[++i]); !added)
            return argument + " is given twice, " + earlier->second + " and " + arguments[i];
    }
    for (const char* counted : {"--limit", "--tune"})
        if (options.contains(counted) && count_of(options[counted]) == 0)
            return std::string(counted) + " " + options[counted] + " is not a whole number from 1 up";
    for (const char* needed : {"--limit", "--models"})
        if (!options.contains(needed))
            return std::string(needed) + " is missing";
    if (options.contains("--tune") && !options.contains("--toolchain"))
        return "--tune " + options["--tune"] + " needs --toolchain, the compiler and linker the record names";
    if (command.files.size() != 4)
        return "XZCAT_STUB DECODER_STUB_OBJECT PROGRAM OUTPUT are four files, not " + given(command.files);
    command.limit = count_of(options["--limit"]);
    command.rounds = options.contains("--tune") ? static_cast<int>(count_of(options["--tune"])) : 0;
    command.record = options["--models"];
    command.toolchain = options["--toolchain"];
    return command;
}

} // namespace

int main(int argc, char** argv)
{
    if (support::answered_help(argc, argv, usage))
        return 0;
    std::variant<CommandLine, std::string> parsed = parse_command_line({argv + 1, argv + argc});
    if (auto* problem = std::get_if<std::string>(&parsed))
    {
        std::fprintf(stderr, "pack_executable: %s\n%s\n", problem->c_str(), usage);
        return 2;
    }
    const CommandLine& command = std::get<CommandLine>(parsed);
    const std::string &record = command.record, &toolchain = command.toolchain;
    std::string xzcat_stub = command.files[0], decoder_stub = command.files[1], program = command.files[2],
                output = command.files[3];
    try
    {
        std::vector<std::uint8_t> program_bytes = support::read_file(program);
        executable_packer::elf::read(program_bytes);
        executable_packer::StubObject stub = executable_packer::read_stub_object(support::read_file(decoder_stub));
        coder::ModelSet models = command.rounds > 0
                                     ? tuned_models(program, program_bytes, record, toolchain, command.rounds, stub)
                                     : recorded_models(program_bytes, record, toolchain);
        executable_packer::PackedFile decoded = executable_packer::pack_with_decoder(stub, program_bytes, models);
        executable_packer::PackedFile unpacked_by_xzcat =
            executable_packer::pack_with_xzcat(support::read_file(xzcat_stub), program_bytes);
        print_sizes(decoded);
        print_sizes(unpacked_by_xzcat);
        const executable_packer::PackedFile& shipped =
            executable_packer::smaller_within(decoded, unpacked_by_xzcat, command.limit);
        support::write_file_atomically(output, shipped.bytes,
                                       {.mode = 0755, .check = executable_packer::check_with_readelf});
        std::printf("shipped: %s\n", shipped.way.c_str());
        if (!command.report.empty())
            write_size_report(command.report, program_bytes, models, program, output, {&decoded, &unpacked_by_xzcat},
                              shipped);
    }
    catch (const support::LineError& error)
    {
        std::fprintf(stderr, "%s:%d: error: %s\n", record.c_str(), error.line(), error.what());
        return 1;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "pack_executable: %s: %s\n", output.c_str(), error.what());
        return 1;
    }
}
