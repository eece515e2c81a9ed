// The build's own steps on executables: the post-link trim and the 4 KiB packing, as library
// functions and through their command lines, on the real linked program and on damaged copies.
#include "child_process.h"
#include "elf_image.h"
#include "file_io.h"
#include "packing.h"
#include "trim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes linked_program()
{
    return read_file(STILLRAY_LINKED);
}

void put64(Bytes& bytes, std::size_t at, std::uint64_t value)
{
    std::memcpy(&bytes[at], &value, 8);
}
void put16(Bytes& bytes, std::size_t at, std::uint16_t value)
{
    std::memcpy(&bytes[at], &value, 2);
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
        {"program headers outside the file", [](Bytes& b) { put64(b, 32, b.size() - 8); }, "outside the file"},
        {"no program headers", [](Bytes& b) { put16(b, 56, 0); }, "no program headers"},
        {"wrong program header size", [](Bytes& b) { put16(b, 54, 32); }, "56 bytes"},
        {"entry outside the code", [](Bytes& b) { put64(b, 24, 0x10); }, "entry point"},
    };
    return all;
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
    EXPECT_EQ(trimmed_image.section_headers_offset, 0u);
    EXPECT_EQ(trimmed_image.section_header_count, 0u);
    EXPECT_EQ(trimmed_image.entry, image.entry);
    // Up to the dynamic section (code, texts, symbols, relocations) not a byte moves.
    std::size_t dynamic = 0;
    for (const elf::Segment& segment : image.segments)
        if (segment.type == elf::pt_dynamic)
            dynamic = segment.offset;
    ASSERT_GT(dynamic, image.program_headers_offset);
    std::size_t headers_end = image.program_headers_offset + image.segments.size() * elf::program_header_size;
    EXPECT_TRUE(std::equal(trimmed.begin() + headers_end, trimmed.begin() + dynamic, linked.begin() + headers_end));
}

// The dynamic section loses its DT_DEBUG and DT_SYMENT entries and the spare DT_NULL ones; the
// others move up in order. A section that never ends is refused.
TEST(TrimExecutable, KeepsTheDynamicEntriesTheLoaderReads)
{
    Bytes linked = linked_program();
    elf::Image image = elf::read(linked);
    auto dynamic_of = [](const elf::Image& of) {
        return *std::find_if(of.segments.begin(), of.segments.end(),
                             [](const elf::Segment& s) { return s.type == elf::pt_dynamic; });
    };
    auto tags = [](const Bytes& file, const elf::Segment& dynamic) {
        std::vector<std::int64_t> found;
        for (std::size_t at = dynamic.offset; at < dynamic.offset + dynamic.file_size; at += 16)
            found.push_back(elf::load<std::int64_t>(file, at));
        return found;
    };
    std::vector<std::int64_t> expected = tags(linked, dynamic_of(image));
    ASSERT_NE(std::find(expected.begin(), expected.end(), elf::dt_debug), expected.end());
    std::erase_if(expected, [](std::int64_t tag) { return tag == elf::dt_debug || tag == elf::dt_syment; });
    expected.erase(std::find(expected.begin(), expected.end(), elf::dt_null) + 1, expected.end());
    Bytes trimmed = trim_executable(linked);
    EXPECT_EQ(tags(trimmed, dynamic_of(elf::read(trimmed))), expected);

    Bytes endless = linked;
    const elf::Segment dynamic = dynamic_of(image);
    for (std::size_t at = dynamic.offset; at < dynamic.offset + dynamic.file_size; at += 16)
        if (elf::load<std::int64_t>(endless, at) == elf::dt_null)
            elf::store<std::int64_t>(endless, at, elf::dt_debug);
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
    void SetUp() override
    {
        directory = fs::temp_directory_path() / ("packing-steps-" + std::to_string(getpid()));
        fs::remove_all(directory);
        fs::create_directories(directory);
    }
    void TearDown() override { fs::remove_all(directory); }

    std::string write(const std::string& name, const Bytes& bytes)
    {
        std::string path = directory / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    std::size_t file_count() const
    {
        return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
    }

    fs::path directory;
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
        Finished finished = run_child({TRIM_EXECUTABLE, input, output});
        EXPECT_EQ(finished.exit_code, 1) << damage.name;
        ASSERT_EQ(lines_of(finished.err).size(), 1u) << damage.name << ": " << finished.err;
        EXPECT_NE(finished.err.find(damage.reason), std::string::npos) << finished.err;
        EXPECT_EQ(read_file(output), earlier) << damage.name;
        EXPECT_EQ(file_count(), 2u) << damage.name;
    }
}

TEST_F(CommandLine, TrimWritesAFileReadelfReads)
{
    std::string output = directory / "stillray";
    Finished finished = run_child({TRIM_EXECUTABLE, STILLRAY_LINKED, output});
    ASSERT_EQ(finished.exit_code, 0) << finished.err;
    EXPECT_EQ(read_file(output), trim_executable(linked_program()));
    EXPECT_TRUE(fs::status(output).permissions() ==
                (fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                 fs::perms::others_exec));
    EXPECT_EQ(file_count(), 1u);
}

TEST_F(CommandLine, PackingOverTheLimitFailsTheStepWithoutOutput)
{
    std::string output = directory / "packed";
    Finished finished = run_child({PACK_EXECUTABLE, "--limit", "1000", UNPACK_STUB, STILLRAY_EXECUTABLE, output});
    EXPECT_EQ(finished.exit_code, 1);
    ASSERT_EQ(lines_of(finished.err).size(), 1u) << finished.err;
    EXPECT_NE(finished.err.find("over the limit of 1000"), std::string::npos) << finished.err;
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(file_count(), 0u);
}

TEST_F(CommandLine, PackingRejectsADamagedProgram)
{
    Bytes damaged = read_file(STILLRAY_EXECUTABLE);
    damaged.resize(damaged.size() - 1);
    std::string input = write("damaged", damaged), output = directory / "packed";
    Finished finished = run_child({PACK_EXECUTABLE, "--limit", "4096", UNPACK_STUB, input, output});
    EXPECT_EQ(finished.exit_code, 1);
    EXPECT_NE(finished.err.find("past the end of the file"), std::string::npos) << finished.err;
    EXPECT_FALSE(fs::exists(output));
}

// xzcat, the decompressor the stub runs, gives back exactly what was compressed.
TEST_F(CommandLine, XzcatRestoresTheCompressedProgram)
{
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    Bytes compressed = compress_lzma(program);
    EXPECT_LT(compressed.size(), program.size() / 2);
    std::string path = write("program.lzma", compressed);
    Finished finished = run_child({"/usr/bin/xzcat", path});
    ASSERT_EQ(finished.exit_code, 0) << finished.err;
    EXPECT_EQ(Bytes(finished.out.begin(), finished.out.end()), program);
}

TEST(PackExecutable, ChecksStubPayloadAndLimit)
{
    Bytes stub = read_file(UNPACK_STUB);
    Bytes payload = compress_lzma(read_file(STILLRAY_EXECUTABLE));
    Bytes packed = pack_executable(stub, payload, stub.size() + payload.size());
    EXPECT_EQ(packed.size(), stub.size() + payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), packed.begin() + stub.size()));

    EXPECT_THROW(pack_executable(stub, payload, stub.size() + payload.size() - 1), PackError);
    Bytes stub_with_tail = stub;
    stub_with_tail.push_back(0);
    EXPECT_THROW(pack_executable(stub_with_tail, payload, 1 << 20), PackError);
    Bytes not_lzma = payload;
    not_lzma[0] = 0xff;
    EXPECT_THROW(pack_executable(stub, not_lzma, 1 << 20), PackError);
    EXPECT_THROW(pack_executable(Bytes(stub.begin(), stub.begin() + 60), payload, 1 << 20), elf::Malformed);
}

} // namespace
