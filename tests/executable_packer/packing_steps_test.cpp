// The build's own steps on executables: the post-link trim and the 4 KiB packing, as library
// functions and through their command lines, on the real linked program and on damaged copies.
#include "context_mixing.h"
#include "elf_image.h"
#include "file_io.h"
#include "lzma_compression.h"
#include "packing.h"
#include "png_file.h"
#include "process.h"
#include "readelf_check.h"
#include "record_file.h"
#include "trim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>

namespace {

namespace fs = std::filesystem;
namespace elf = executable_packer::elf;
using Bytes = std::vector<std::uint8_t>;
using executable_packer::trim_executable;
using support::Finished;
using support::read_file;

Bytes linked_program()
{
    return read_file(STILLRAY_LINKED);
}

// Sets a field of the file header, as <elf.h> lays it out.
template <class Field>
void put(Bytes& bytes, std::size_t offset, Field value)
{
    std::memcpy(&bytes[offset], &value, sizeof value);
}

struct Damage
{
    const char* name;
    std::function<void(Bytes&)> apply;
    const char* reason; // a phrase the error must contain
};

// Ways a linked file can be broken, each with the part of the message that names it.
const std::vector<Damage>& damages()
{
    static const std::vector<Damage> all = {
        {"cut inside the header", [](Bytes& b) { b.resize(40); }, "shorter than an ELF header"},
        {"cut inside the segments", [](Bytes& b) { b.resize(b.size() / 2); }, "past the end of the file"},
        {"not an ELF file", [](Bytes& b) { std::memcpy(b.data(), "#!/bin/sh\n", 10); }, "not an ELF file"},
        {"32-bit class", [](Bytes& b) { b[4] = 1; }, "64-bit"},
        {"program headers outside the file",
         [](Bytes& b) { put(b, offsetof(Elf64_Ehdr, e_phoff), Elf64_Off(b.size() - 8)); }, "outside the file"},
        {"no program headers", [](Bytes& b) { put(b, offsetof(Elf64_Ehdr, e_phnum), Elf64_Half(0)); },
         "no program headers"},
        {"wrong program header size", [](Bytes& b) { put(b, offsetof(Elf64_Ehdr, e_phentsize), Elf64_Half(32)); },
         "56 bytes"},
        {"entry outside the code", [](Bytes& b) { put(b, offsetof(Elf64_Ehdr, e_entry), Elf64_Addr(0x10)); },
         "entry point"},
    };
    return all;
}

const Elf64_Phdr& dynamic_of(const elf::Image& image)
{
    return *std::find_if(image.segments.begin(), image.segments.end(),
                         [](const Elf64_Phdr& s) { return s.p_type == PT_DYNAMIC; });
}

// The linked program with its dynamic string table's address outside every segment: the trim's
// reader does not follow the address, readelf does and warns.
Bytes with_string_table_nowhere()
{
    Bytes linked = linked_program();
    const Elf64_Phdr& dynamic = dynamic_of(elf::read(linked));
    for (std::size_t at = dynamic.p_offset; at < dynamic.p_offset + dynamic.p_filesz; at += sizeof(Elf64_Dyn))
        if (Elf64_Dyn entry = elf::load<Elf64_Dyn>(linked, at); entry.d_tag == DT_STRTAB)
        {
            entry.d_un.d_ptr = 0x10;
            elf::store(linked, at, entry);
        }
    return linked;
}

// An address maps to the file bytes of the loadable segment that holds it, and only when all the
// bytes asked for are file bytes of that segment.
TEST(ElfImage, MapsAddressesToTheFileBytesOfASegment)
{
    elf::Image image = elf::read(linked_program());
    const Elf64_Phdr& load = image.segments[0];
    ASSERT_EQ(load.p_type, PT_LOAD);
    ASSERT_LT(load.p_filesz, load.p_memsz) << "a segment with zero-filled memory";
    std::uint64_t end = load.p_vaddr + load.p_filesz;
    EXPECT_EQ(image.file_offset_of(load.p_vaddr, 16), load.p_offset);
    EXPECT_EQ(image.file_offset_of(end - 4, 4), load.p_offset + load.p_filesz - 4);
    EXPECT_EQ(image.file_offset_of(end, 0), load.p_offset + load.p_filesz);
    EXPECT_EQ(image.file_offset_of(end - 4, 5), std::nullopt) << "past the file bytes";
    EXPECT_EQ(image.file_offset_of(end, 1), std::nullopt) << "zero-filled memory";
    EXPECT_EQ(image.file_offset_of(load.p_vaddr - 1, 2), std::nullopt) << "before the segment";
    EXPECT_EQ(image.file_offset_of(load.p_vaddr, ~std::uint64_t{0}), std::nullopt) << "a size that wraps";
}

TEST(TrimExecutable, KeepsTheLoadedBytesAndDropsTheRest)
{
    Bytes linked = linked_program();
    Bytes trimmed = trim_executable(linked);
    elf::Image image = elf::read(linked);
    ASSERT_LE(trimmed.size(), image.used_end);
    EXPECT_LT(trimmed.size(), linked.size());
    elf::Image trimmed_image = elf::read(trimmed);
    EXPECT_EQ(trimmed_image.used_end, trimmed.size());
    EXPECT_EQ(trimmed_image.header.e_shoff, 0u);
    EXPECT_EQ(trimmed_image.header.e_shnum, 0u);
    EXPECT_EQ(trimmed_image.header.e_shentsize, 0u);
    EXPECT_EQ(trimmed_image.header.e_shstrndx, 0u);
    EXPECT_EQ(trimmed_image.header.e_entry, image.header.e_entry);
    // Up to the dynamic section (code, texts, symbols, relocations) not a byte moves; an import
    // left typeless is typed a function (the executable file's tests say which bytes).
    std::size_t dynamic = dynamic_of(image).p_offset;
    ASSERT_GT(dynamic, image.header.e_phoff);
    std::size_t headers_end = image.program_header_at(image.segments.size());
    for (std::size_t at = headers_end; at < dynamic; ++at)
        if (trimmed[at] != linked[at])
            EXPECT_TRUE(linked[at] == ELF64_ST_INFO(STB_GLOBAL, STT_NOTYPE) &&
                        trimmed[at] == ELF64_ST_INFO(STB_GLOBAL, STT_FUNC))
                << "byte " << at;
}

// The dynamic section loses its DT_DEBUG and DT_SYMENT entries, the DT_GNU_HASH entry of a hash
// table that lists no symbol, and the spare DT_NULL ones; the others move up in order. A table
// that lists a symbol stays. A section that never ends is refused.
TEST(TrimExecutable, KeepsTheDynamicEntriesTheLoaderReads)
{
    Bytes linked = linked_program();
    elf::Image image = elf::read(linked);
    auto tags = [](const Bytes& file, const Elf64_Phdr& dynamic) {
        std::vector<Elf64_Sxword> found;
        for (std::size_t at = dynamic.p_offset; at < dynamic.p_offset + dynamic.p_filesz; at += sizeof(Elf64_Dyn))
            found.push_back(elf::load<Elf64_Dyn>(file, at).d_tag);
        return found;
    };
    std::vector<Elf64_Sxword> expected = tags(linked, dynamic_of(image));
    ASSERT_NE(std::find(expected.begin(), expected.end(), DT_DEBUG), expected.end());
    ASSERT_NE(std::find(expected.begin(), expected.end(), DT_GNU_HASH), expected.end());
    std::erase_if(expected, [](Elf64_Sxword tag) { return tag == DT_DEBUG || tag == DT_SYMENT; });
    expected.erase(std::find(expected.begin(), expected.end(), DT_NULL) + 1, expected.end());
    std::vector<Elf64_Sxword> without_hash = expected;
    std::erase(without_hash, DT_GNU_HASH);
    Bytes trimmed = trim_executable(linked);
    EXPECT_EQ(tags(trimmed, dynamic_of(elf::read(trimmed))), without_hash);

    // The same table with its first bucket pointing at a symbol: kept, entry and bytes.
    Bytes exporting = linked;
    std::size_t table = 0;
    for (std::size_t at = dynamic_of(image).p_offset; at < dynamic_of(image).p_offset + dynamic_of(image).p_filesz;
         at += sizeof(Elf64_Dyn))
        if (Elf64_Dyn entry = elf::load<Elf64_Dyn>(linked, at); entry.d_tag == DT_GNU_HASH)
            table = entry.d_un.d_ptr - image.segments[0].p_vaddr + image.segments[0].p_offset;
    ASSERT_EQ(image.segments[0].p_type, PT_LOAD);
    std::size_t buckets = elf::load<std::uint32_t>(linked, table),
                buckets_at = table + 16 + 8 * elf::load<std::uint32_t>(linked, table + 8);
    ASSERT_GT(buckets, 0u);
    put(exporting, buckets_at, std::uint32_t(1));
    Bytes kept = trim_executable(exporting);
    EXPECT_EQ(tags(kept, dynamic_of(elf::read(kept))), expected);
    kept.resize(std::max(kept.size(), buckets_at + 4 * buckets)); // the memory past the file's bytes
    EXPECT_TRUE(std::equal(kept.begin() + table, kept.begin() + buckets_at + 4 * buckets, exporting.begin() + table));

    Bytes endless = linked;
    const Elf64_Phdr dynamic = dynamic_of(image);
    for (std::size_t at = dynamic.p_offset; at < dynamic.p_offset + dynamic.p_filesz; at += sizeof(Elf64_Dyn))
        if (elf::load<Elf64_Dyn>(endless, at).d_tag == DT_NULL)
            elf::store(endless, at, Elf64_Dyn{DT_DEBUG, {0}});
    EXPECT_THROW(trim_executable(endless), elf::Malformed);
}

TEST(TrimExecutable, RejectsDamagedInputNamingTheFault)
{
    for (const Damage& damage : damages())
    {
        Bytes damaged = linked_program();
        damage.apply(damaged);
        try
        {
            trim_executable(damaged);
            ADD_FAILURE() << damage.name << ": accepted";
        }
        catch (const elf::Malformed& error)
        {
            EXPECT_NE(std::string(error.what()).find(damage.reason), std::string::npos)
                << damage.name << ": " << error.what();
        }
    }
}

class CommandLine : public ::testing::Test
{
protected:
    static std::vector<std::string> pack_command(const std::string& limit, const std::string& program,
                                                 const std::string& output,
                                                 const std::string& models_record = MODELS_RECORD)
    {
        return {PACK_EXECUTABLE, "--limit",    limit,   "--models", models_record,
                XZCAT_STUB,      DECODER_STUB, program, output};
    }

    std::string write(const std::string& name, const Bytes& bytes)
    {
        std::string path = directory / name;
        support::write_file_atomically(path, bytes);
        return path;
    }
    std::size_t file_count() const
    {
        return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
    }

    support::TempDir temporary{"packing-steps"};
    const fs::path& directory = temporary.path();
};

// A failed step says why in one line, exits 1, leaves an earlier output untouched and leaves no
// partial file behind.
TEST_F(CommandLine, TrimFailsCleanlyOnDamagedInput)
{
    Bytes earlier = {'o', 'l', 'd'};
    for (const Damage& damage : damages())
    {
        Bytes damaged = linked_program();
        damage.apply(damaged);
        std::string input = write("damaged", damaged), output = write("output", earlier);
        Finished finished = support::run({TRIM_EXECUTABLE, input, output});
        EXPECT_TRUE(finished.status.clean_exit(1)) << damage.name << ": " << finished.status.text();
        ASSERT_EQ(support::lines_of(finished.err).size(), 1u) << damage.name << ": " << finished.err;
        EXPECT_NE(finished.err.find(damage.reason), std::string::npos) << finished.err;
        EXPECT_EQ(read_file(output), earlier) << damage.name;
        EXPECT_EQ(file_count(), 2u) << damage.name;
    }
}

TEST_F(CommandLine, TrimWritesTheTrimmedProgramAsAnExecutable)
{
    std::string output = directory / "stillray";
    Finished finished = support::run({TRIM_EXECUTABLE, STILLRAY_LINKED, output});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(read_file(output), trim_executable(linked_program()));
    EXPECT_TRUE(fs::status(output).permissions() ==
                (fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                 fs::perms::others_exec));
    EXPECT_EQ(file_count(), 1u);
}

// readelf checks every file the steps write: one it warns about does not take the output's place.
TEST_F(CommandLine, TrimRefusesAFileReadelfWarnsAbout)
{
    Bytes earlier = {'o', 'l', 'd'};
    std::string input = write("linked", with_string_table_nowhere()), output = write("output", earlier);
    Finished finished = support::run({TRIM_EXECUTABLE, input, output});
    EXPECT_TRUE(finished.status.clean_exit(1)) << finished.status.text();
    EXPECT_NE(finished.err.find("readelf does not accept"), std::string::npos) << finished.err;
    EXPECT_NE(finished.err.find("Warning: Virtual address 0x10 not located in any PT_LOAD segment"), std::string::npos)
        << finished.err;
    EXPECT_EQ(read_file(output), earlier);
    EXPECT_EQ(file_count(), 2u);
}

TEST(ReadelfCheck, PassesTheProgramAndRefusesWhatReadelfWarnsAbout)
{
    EXPECT_NO_THROW(executable_packer::check_with_readelf(STILLRAY_EXECUTABLE));
    support::TempDir directory("readelf-check");
    std::string warned = directory.path() / "warned";
    support::write_file_atomically(warned, trim_executable(with_string_table_nowhere()));
    ASSERT_EQ(support::run({"/usr/bin/readelf", "-lWd", warned}).status.text(), "exit status 0")
        << "readelf warns here without failing, so the check must read what it prints";
    EXPECT_THROW(executable_packer::check_with_readelf(warned), executable_packer::PackingError);
}

// With a record made for this build's program, whatever its toolchain, the limit is all there is
// to say.
TEST_F(CommandLine, PackingOverTheLimitFailsTheStepWithoutOutput)
{
    coder::ModelsRecord fitted = coder::parse_models_record(support::read_text(MODELS_RECORD));
    fitted.program = support::fingerprint(support::read_text(STILLRAY_EXECUTABLE));
    std::string record = coder::models_record_text(fitted), output = directory / "packed";
    Finished finished = support::run(
        pack_command("1000", STILLRAY_EXECUTABLE, output, write("fitted.models", Bytes(record.begin(), record.end()))));
    EXPECT_TRUE(finished.status.clean_exit(1)) << finished.status.text();
    ASSERT_EQ(support::lines_of(finished.err).size(), 1u) << finished.err;
    EXPECT_NE(finished.err.find("over the limit of 1000 bytes: decoder: "), std::string::npos) << finished.err;
    EXPECT_NE(finished.err.find(", xzcat: "), std::string::npos) << finished.err;
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(file_count(), 1u);
}

TEST_F(CommandLine, PackingRejectsADamagedProgram)
{
    Bytes damaged = read_file(STILLRAY_EXECUTABLE);
    damaged.resize(damaged.size() - 1);
    std::string input = write("damaged", damaged), output = directory / "packed";
    Finished finished = support::run(pack_command(std::to_string(PACKED_SIZE_LIMIT), input, output));
    EXPECT_TRUE(finished.status.clean_exit(1)) << finished.status.text();
    EXPECT_NE(finished.err.find("past the end of the file"), std::string::npos) << finished.err;
    EXPECT_FALSE(fs::exists(output));
}

// xzcat, the decompressor the stub runs, gives back exactly what was compressed.
TEST_F(CommandLine, XzcatRestoresTheCompressedProgram)
{
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    Bytes compressed = executable_packer::compress_payload(program);
    EXPECT_LT(compressed.size(), program.size() / 2);
    std::string path = write("program.lzma", compressed);
    Finished finished = support::run({"/usr/bin/xzcat", path});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(Bytes(finished.out.begin(), finished.out.end()), program);
}

// The limit holds to the byte: a limit of the packed file's size lets it through, one byte less
// refuses it.
TEST_F(CommandLine, PackingKeepsToTheLimitToTheByte)
{
    std::string output = directory / "packed";
    auto pack = [&](std::size_t limit) {
        return support::run(pack_command(std::to_string(limit), STILLRAY_EXECUTABLE, output));
    };
    Finished unlimited = pack(1 << 20);
    ASSERT_TRUE(unlimited.status.clean_exit()) << unlimited.status.text() << ": " << unlimited.err;
    Bytes packed = read_file(output);
    fs::remove(output);
    Finished under = pack(packed.size() - 1);
    EXPECT_TRUE(under.status.clean_exit(1)) << under.status.text();
    EXPECT_NE(under.err.find("over the limit of " + std::to_string(packed.size() - 1) + " bytes"), std::string::npos)
        << under.err;
    EXPECT_FALSE(fs::exists(output));
    Finished at = pack(packed.size());
    ASSERT_TRUE(at.status.clean_exit()) << at.status.text() << ": " << at.err;
    EXPECT_EQ(read_file(output), packed);
}

// With a size report asked for: the page and the picture the build's own step makes.
TEST_F(CommandLine, PackingWritesTheSmallerWayAndSaysWhatEachCameTo)
{
    std::string output = directory / "packed", page = directory / "report.html", picture = directory / "map.png";
    std::vector<std::string> command = pack_command(std::to_string(PACKED_SIZE_LIMIT), STILLRAY_EXECUTABLE, output);
    command.insert(command.end(), {"--report", page, picture, STILLRAY_LINKED, VERTEX_LINES, FRAGMENT_LINES});
    Finished finished = support::run(command);
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    std::vector<std::string> lines = support::lines_of(finished.out);
    ASSERT_EQ(lines.size(), 4u) << finished.out;
    EXPECT_TRUE(lines[0].starts_with("decoder  stub ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("xzcat    stub ")) << lines[1];
    EXPECT_TRUE(lines[2] == "shipped: decoder" || lines[2] == "shipped: xzcat") << lines[2];
    EXPECT_EQ(lines[3], "report: " + page);
    EXPECT_NE(
        support::read_text(page).find("id=\"program-bytes\">" + std::to_string(fs::file_size(STILLRAY_EXECUTABLE))),
        std::string::npos);
    if (!READABLE_SHADERS)
    {
        EXPECT_EQ(read_file(output), read_file(STILLRAY_PACKED)) << "the build's own step gives the same file";
        EXPECT_EQ(support::read_png(picture), support::read_png(SIZE_MAP)) << "and the same picture";
    }
}

// A models record that cannot be read names its line and fails the step; the earlier output stays.
TEST_F(CommandLine, PackingRefusesADamagedModelsRecordAtItsLine)
{
    std::string record = support::read_text(MODELS_RECORD);
    std::size_t contexts_at = record.find("\ncontexts ") + 1, toolchain_at = record.find("\ntoolchain ") + 1;
    struct RecordDamage
    {
        std::string text;
        int line;
        const char* reason;
    };
    auto line_of = [&](std::size_t offset) {
        return 1 + static_cast<int>(std::count(record.begin(), record.begin() + offset, '\n'));
    };
    std::size_t last_line_at = record.rfind('\n', record.size() - 2) + 1;
    const RecordDamage damages[] = {
        {record.substr(0, record.size() - 3), line_of(last_line_at), "cut short"},
        {record.substr(0, last_line_at), 1, "no 'count_limit' line"},
        {record.substr(0, contexts_at) + "contexts 1 zz 2\n" + record.substr(record.find('\n', contexts_at) + 1),
         line_of(contexts_at), "not 'zz'"},
        {record + "weight_shift 12\n", line_of(record.size()), "a second 'weight_shift'"},
        {record.substr(0, last_line_at) + "count_limit 256\n", line_of(last_line_at), "0 to 255"},
        {record + "colour red\n", line_of(record.size()), "expected"},
        {record.substr(0, toolchain_at) + record.substr(record.find('\n', toolchain_at) + 1), 1, "no 'toolchain' line"},
    };
    Bytes earlier = {'o', 'l', 'd'};
    for (const RecordDamage& damage : damages)
    {
        std::string damaged = write("damaged.models", Bytes(damage.text.begin(), damage.text.end()));
        std::string output = write("packed", earlier);
        Finished finished =
            support::run(pack_command(std::to_string(PACKED_SIZE_LIMIT), STILLRAY_EXECUTABLE, output, damaged));
        EXPECT_TRUE(finished.status.clean_exit(1)) << damage.reason << ": " << finished.status.text();
        std::string where = damaged + ":" + std::to_string(damage.line) + ": error: ";
        ASSERT_EQ(support::lines_of(finished.err).size(), 1u) << finished.err;
        EXPECT_TRUE(finished.err.starts_with(where)) << where << " / " << finished.err;
        EXPECT_NE(finished.err.find(damage.reason), std::string::npos) << finished.err;
        EXPECT_EQ(read_file(output), earlier) << damage.reason;
    }
}

// A record made for another program is used as it is, with one line that says so, and names the
// toolchains where the program was built with another.
TEST_F(CommandLine, PackingWithAStaleModelsRecordSaysSoAndPacks)
{
    std::string record = support::read_text(MODELS_RECORD);
    std::size_t fingerprint_at = record.find("\nprogram ") + 9;
    record[fingerprint_at] = record[fingerprint_at] == '0' ? '1' : '0';
    std::string stale = write("stale.models", Bytes(record.begin(), record.end())), output = directory / "packed";
    std::vector<std::string> command =
        pack_command(std::to_string(PACKED_SIZE_LIMIT), STILLRAY_EXECUTABLE, output, stale);
    command.insert(command.begin() + 5, {"--toolchain", "gcc-1 ld-1"});
    Finished finished = support::run(command);
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    ASSERT_EQ(support::lines_of(finished.err).size(), 1u) << finished.err;
    EXPECT_NE(finished.err.find(stale + ": stale"), std::string::npos) << finished.err;
    std::string toolchain = coder::parse_models_record(record).toolchain;
    EXPECT_NE(finished.err.find("ran on " + toolchain + ", not this build's gcc-1 ld-1"), std::string::npos)
        << finished.err;
    EXPECT_NE(finished.err.find("make tune"), std::string::npos) << finished.err;
    if (!READABLE_SHADERS)
        EXPECT_EQ(read_file(output), read_file(STILLRAY_PACKED)) << "the record's models, not others";
}

// Where stderr is no terminal a search reports each round on a plain line, then says what became
// of the record, in the sizes the summary gives; one interrupted part way leaves the record as it
// was and nothing beside it.
TEST_F(CommandLine, TuningReportsItsRoundsAndAnInterruptedOneLeavesTheRecordWhole)
{
    std::string record = directory / "zeros.models", output = directory / "packed";
    auto tune = [&](const std::string& program, const std::string& rounds) {
        std::vector<std::string> command = pack_command(std::to_string(PACKED_SIZE_LIMIT), program, output, record);
        command.insert(command.begin() + 5, {"--toolchain", "gcc-1", "--tune", rounds});
        return command;
    };
    std::vector<std::string> untold = tune(ZEROS_DATA_PROGRAM, "2");
    untold.erase(untold.begin() + 5, untold.begin() + 7);
    Finished refused = support::run(untold);
    EXPECT_TRUE(refused.status.clean_exit(2) &&
                refused.err.starts_with("pack_executable: --tune 2 needs --toolchain") &&
                refused.err.ends_with(", with --toolchain for --tune\n"))
        << refused.err;
    EXPECT_EQ(file_count(), 0u) << "a search without its toolchain writes no record";
    for (auto [option, value] : {std::pair{"--limit", "x"}, std::pair{"--tune", "0"}, std::pair{"--tune", "2x"}})
    {
        std::vector<std::string> command = tune(ZEROS_DATA_PROGRAM, "2");
        *(std::find(command.begin(), command.end(), option) + 1) = value;
        Finished wrong = support::run(command);
        EXPECT_TRUE(wrong.status.clean_exit(2) &&
                    wrong.err.starts_with(std::string("pack_executable: ") + option + " " + value +
                                          " is not a whole number from 1 up\nusage: "))
            << wrong.err;
    }
    // Wherever an option stands, a refusal names it with the value at fault.
    auto appended = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> command = tune(ZEROS_DATA_PROGRAM, "2");
        command.insert(command.end(), extra.begin(), extra.end());
        return command;
    };
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{PACK_EXECUTABLE, "x", "y", "--limit", "abc"}, "--limit abc is not a whole number from 1 up"},
        {appended({"--limit", "5"}), "--limit is given twice, " + std::to_string(PACKED_SIZE_LIMIT) + " and 5"},
        {appended({"--colour", "red"}), "--colour is no option"},
        {appended({"--report", "page", "picture"}),
         "--report takes PAGE PICTURE LINKED [SOURCE_LINES...], not page picture"}};
    for (const auto& [command, message] : refusals)
    {
        Finished wrong = support::run(command);
        EXPECT_TRUE(wrong.status.clean_exit(2) && wrong.err.starts_with("pack_executable: " + message + "\nusage: "))
            << wrong.err;
    }
    EXPECT_EQ(file_count(), 0u) << "a refused command line writes nothing";
    Finished help = support::run({PACK_EXECUTABLE, "--help"});
    EXPECT_TRUE(help.status.clean_exit() && help.out.starts_with("usage: pack_executable ")) << help.err;
    Finished searched = support::run(tune(ZEROS_DATA_PROGRAM, "2"));
    ASSERT_TRUE(searched.status.clean_exit()) << searched.status.text() << ": " << searched.err;
    std::vector<std::string> lines = support::lines_of(searched.err);
    ASSERT_GE(lines.size(), 2u) << searched.err;
    std::regex round_line(
        R"(zeros_data_program models: round [12] of 2, \d+\.\d bytes \(start \d+\.\d\), \d+ s spent, at most \d+ s left)");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], round_line)) << lines[i];
    std::smatch decoder;
    ASSERT_TRUE(
        std::regex_search(searched.out, decoder, std::regex(R"(decoder +stub +\d+ \+ payload +(\d+) = +(\d+) bytes)")));
    std::string sizes = "payload " + decoder.str(1) + " bytes, packed file " + decoder.str(2) + " bytes";
    EXPECT_EQ(lines.back(), record + ": rewritten, " + sizes + "; there was no record to read before");
    Finished again = support::run(tune(ZEROS_DATA_PROGRAM, "2"));
    EXPECT_EQ(support::lines_of(again.err).back(), record + ": already current, " + sizes);

    std::string previous = support::read_text(MODELS_RECORD);
    support::write_file_atomically(record, previous);
    std::vector<std::string> command = tune(STILLRAY_EXECUTABLE, std::to_string(SEARCH_ROUNDS));
    support::Process tuning(command[0], {{command.begin() + 1, command.end()}, support::current_environment()});
    ASSERT_TRUE(support::poll_until(std::chrono::minutes(2), [&] {
        return tuning.standard_error().find(" round 1 of ") != std::string::npos;
    })) << tuning.standard_error();
    tuning.end(SIGINT);
    EXPECT_EQ(support::read_text(record), previous);
    EXPECT_EQ(file_count(), 2u) << "the record and the earlier output";
}

TEST(PackWithXzcat, AppendsThePayloadToAStubThatEndsWhereItReadsIt)
{
    Bytes stub = read_file(XZCAT_STUB), program = read_file(STILLRAY_EXECUTABLE);
    executable_packer::PackedFile packed = executable_packer::pack_with_xzcat(stub, program);
    EXPECT_EQ(packed.stub_size, stub.size());
    EXPECT_TRUE(Bytes(packed.bytes.begin(), packed.bytes.begin() + static_cast<std::ptrdiff_t>(stub.size())) == stub);
    // The payload is what xzcat turns back into the program, no larger than the stream of any
    // literal-context, literal-position and position-bits setting.
    Bytes payload(packed.bytes.begin() + static_cast<std::ptrdiff_t>(stub.size()), packed.bytes.end());
    support::TempDir directory("xzcat-payload");
    support::write_file_atomically(directory.path() / "payload.lzma", payload);
    Finished xzcat = support::run({"/usr/bin/xzcat", directory.path() / "payload.lzma"});
    EXPECT_TRUE(xzcat.status.clean_exit() && Bytes(xzcat.out.begin(), xzcat.out.end()) == program) << xzcat.err;
    for (support::LzmaSettings settings : {support::LzmaSettings{0, 0, 0, executable_packer::payload_dictionary_size},
                                           support::LzmaSettings{3, 0, 2, executable_packer::payload_dictionary_size},
                                           support::LzmaSettings{1, 1, 1, executable_packer::payload_dictionary_size}})
        EXPECT_LE(payload.size(), support::compress_lzma(program, settings).size()) << settings.literal_context_bits;

    Bytes stub_with_tail = stub;
    stub_with_tail.push_back(0);
    EXPECT_THROW(executable_packer::pack_with_xzcat(stub_with_tail, program), executable_packer::PackingError);
    EXPECT_THROW(executable_packer::pack_with_xzcat(Bytes(stub.begin(), stub.begin() + 60), program), elf::Malformed);
}

TEST(PackWithDecoder, RefusesWhatTheStubCannotHold)
{
    executable_packer::StubObject stub = executable_packer::read_stub_object(read_file(DECODER_STUB));
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = coder::default_models();
    EXPECT_THROW(executable_packer::pack_with_decoder(stub, Bytes{}, models), executable_packer::PackingError);
    EXPECT_THROW(executable_packer::pack_with_decoder(stub, Bytes(stub.symbol("output_capacity")), models),
                 executable_packer::PackingError);
    EXPECT_NO_THROW(
        executable_packer::pack_with_decoder(stub, Bytes(stub.symbol("output_capacity") - 1), {{0x0}, 15, 5}));
    EXPECT_THROW(executable_packer::pack_with_decoder(stub, program, {{}, 15, 5}), executable_packer::PackingError);
    EXPECT_THROW(executable_packer::pack_with_decoder(stub, program, {std::vector<std::uint32_t>(32, 0x2), 15, 5}),
                 executable_packer::PackingError);
    EXPECT_NO_THROW(
        executable_packer::pack_with_decoder(stub, Bytes(64, 0x2a), {std::vector<std::uint32_t>(31, 0x2), 31, 255}));
    EXPECT_THROW(executable_packer::pack_with_decoder(stub, program, {{0x0}, 32, 5}), executable_packer::PackingError);
    try
    {
        executable_packer::pack_with_decoder(stub, program, {{0x0}, 15, 256});
        ADD_FAILURE() << "a count limit over one byte packed";
    }
    catch (const executable_packer::PackingError& error)
    {
        EXPECT_STREQ(error.what(), "count_limit 256 lies outside the decoder's 0 to 255");
    }

    executable_packer::StubObject unmarked = stub;
    unmarked.symbols.erase("patch_final_code");
    EXPECT_THROW(executable_packer::pack_with_decoder(unmarked, program, models), elf::Malformed);
}

// The decoder's file: the stub with its places filled in, the stream, the contexts; one
// segment over the whole file that readelf reads without a warning.
TEST(PackWithDecoder, LaysOutStubStreamAndContexts)
{
    executable_packer::StubObject stub = executable_packer::read_stub_object(read_file(DECODER_STUB));
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = coder::default_models();
    executable_packer::PackedFile packed = executable_packer::pack_with_decoder(stub, program, models);
    Bytes stream = coder::encode(program, models);
    ASSERT_EQ(packed.bytes.size(), stub.text.size() + stream.size() + 4 * models.contexts.size());
    EXPECT_TRUE(
        std::equal(stream.begin(), stream.end(), packed.bytes.begin() + static_cast<std::ptrdiff_t>(stub.text.size())));
    for (std::size_t m = 0; m < models.contexts.size(); ++m)
    {
        std::uint32_t context;
        std::memcpy(&context, &packed.bytes[stub.text.size() + stream.size() + 4 * m], 4);
        EXPECT_EQ(context, models.contexts[m]);
    }
    std::uint32_t final_code;
    std::memcpy(&final_code, &packed.bytes[stub.symbol("patch_final_code")], 4);
    EXPECT_EQ(final_code, coder::decode(stream, program.size(), models).final_code);
    EXPECT_EQ(packed.bytes[stub.symbol("patch_count_limit")], models.count_limit);
    EXPECT_EQ(packed.bytes[stub.symbol("patch_weight_shift")], models.weight_shift);
    elf::Image image = elf::read(packed.bytes);
    EXPECT_EQ(image.used_end, packed.bytes.size());
    support::TempDir directory("decoder-layout");
    support::write_file_atomically(directory.path() / "packed", packed.bytes);
    EXPECT_NO_THROW(executable_packer::check_with_readelf(directory.path() / "packed"));
}

} // namespace
