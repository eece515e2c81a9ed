// The decoding stub run for real: programs packed with it print exactly what they print unpacked,
// from wherever and however they are started, and every failure (a damaged or cut payload, a
// refused system call) ends in its one line and status 1, never a signal.
#include "decoder_stub_runs.h"
#include "system_call_refusal.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <cerrno>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using support::Finished;
using support::run;

class DecoderStub : public testing::Test
{
protected:
    support::TempDir directory{"decoder-stub"};
    fs::path packed = pack_with_decoder(RANDOM_DATA_PROGRAM, directory.path(), "packed");
    Finished expected = run({RANDOM_DATA_PROGRAM, "one", "two words"});
};

TEST_F(DecoderStub, PackedProgramsRunAsThemselves)
{
    Finished finished = run({packed, "one", "two words"});
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(finished.out, expected.out);

    // The environment goes on unchanged.
    Finished with_marker = run({"/usr/bin/env", "PACKED_TEST_MARKER=here", packed});
    EXPECT_NE(with_marker.out.find("marker here"), std::string::npos) << with_marker.out;

    // Another program, of another size and mostly zeros.
    fs::path zeros = pack_with_decoder(ZEROS_DATA_PROGRAM, directory.path(), "zeros");
    EXPECT_EQ(run({zeros, "packed"}).out, run({ZEROS_DATA_PROGRAM, "packed"}).out);

    // stillray itself, with no display: it gets as far as the toolkit, which says so.
    fs::path stillray = pack_with_decoder(STILLRAY_EXECUTABLE, directory.path(), "stillray");
    Finished without_display = run({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", stillray});
    EXPECT_NE(without_display.err.find("cannot open display"), std::string::npos) << without_display.err;
}

// A program as large as the stub holds (the zeros program, zeros appended, which the loader does
// not read) unpacks whole: the output's end, compared in 16 bits, is reached and not passed.
TEST_F(DecoderStub, RunsTheLargestProgramItHolds)
{
    executable_packer::StubObject stub = executable_packer::read_stub_object(support::read_file(DECODER_STUB));
    Bytes program = support::read_file(ZEROS_DATA_PROGRAM);
    program.resize(stub.symbol("output_capacity") - 1, 0);
    fs::path packed_largest = write_packed(executable_packer::pack_with_decoder(stub, program, coder::default_models()),
                                           directory.path(), "largest");
    Finished finished = run({packed_largest, "largest"});
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(finished.out, run({ZEROS_DATA_PROGRAM, "largest"}).out);
}

// The memory file the program is unpacked into is closed as the program starts: the program has
// the descriptors it was started with and no other.
TEST_F(DecoderStub, LeavesThePackedProgramNoDescriptorOfItsOwn)
{
    Finished finished = run({packed});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(finished.out, run({RANDOM_DATA_PROGRAM}).out) << "the program ran with descriptors of the stub's";
    EXPECT_EQ(expected.out.find("descriptor "), std::string::npos)
        << "the program lists the descriptors it starts with: " << expected.out;
}

TEST_F(DecoderStub, StartsThroughPathSymlinkRelativePathAndAnyDirectoryName)
{
    fs::path odd = directory.path() / "a dir with spaces, é and ü";
    fs::create_directories(odd);
    fs::copy_file(packed, odd / "packed");
    fs::create_symlink(odd / "packed", directory.path() / "link");

    Finished through_path = run({"/usr/bin/env", "PATH=" + odd.string(), "packed", "one", "two words"});
    EXPECT_EQ(through_path.out, expected.out) << through_path.err;
    Finished through_link = run({directory.path() / "link", "one", "two words"});
    EXPECT_EQ(through_link.out, expected.out) << through_link.err;
    Finished relative = run({"/bin/sh", "-c", "cd \"$1\" && ./packed one 'two words'", "sh", odd.string()});
    EXPECT_EQ(relative.out, expected.out) << relative.err;
}

// Bytes after the stub flipped one at a time, spread over the stream, its end and the contexts:
// where the reference decoder still finds the program and ends with the same code (a stream byte
// beyond what the decoder reads), the packed program runs; everywhere else the stub must fail
// cleanly, the stream's last bytes, which code only the program's last bytes, included: the
// final code catches those.
TEST_F(DecoderStub, AgreesWithTheReferenceOnDamagedBytes)
{
    Bytes file = support::read_file(packed), program = support::read_file(RANDOM_DATA_PROGRAM);
    PackedParts parts = packed_parts(file.size());
    std::vector<std::size_t> places;
    for (std::size_t at = parts.stream_start; at < parts.contexts_start - 12; at += 61)
        places.push_back(at);
    for (std::size_t at = parts.contexts_start - 12; at < file.size(); ++at)
        places.push_back(at);
    coder::Decoded whole = decode_packed(file, program.size());
    ASSERT_EQ(whole.data, program);
    int still_whole = 0;
    for (std::size_t at : places)
    {
        Bytes damaged = file;
        damaged[at] ^= 0x40;
        bool decodes = decode_packed(damaged, program.size()) == whole;
        fs::path path = directory.path() / "damaged";
        support::write_file_atomically(path, damaged, {.mode = 0755});
        Finished finished = run({path, "one", "two words"});
        if (decodes)
        {
            ++still_whole;
            EXPECT_EQ(finished.out, expected.out) << "flipped at " << at;
        }
        else
            expect_clean_failure(finished, "flipped at " + std::to_string(at));
    }
    EXPECT_LE(still_whole, 1) << "only the stream's last byte may not matter";
}

TEST_F(DecoderStub, FailsCleanlyOnACutPayload)
{
    Bytes file = support::read_file(packed);
    std::size_t stub = packed_parts(file.size()).stream_start;
    for (std::size_t size : {stub, stub + 1, (stub + file.size()) / 2, file.size() - 1})
    {
        fs::path path = directory.path() / "cut";
        support::write_file_atomically(path, std::span(file).first(size), {.mode = 0755});
        expect_clean_failure(run({path}), "cut to " + std::to_string(size) + " bytes");
    }
}

TEST_F(DecoderStub, FailsCleanlyWhenTheSystemRefuses)
{
    expect_clean_failure(run({packed}, [] { refuse_system_call(SYS_memfd_create, EACCES); }), "memfd_create refused");
    expect_clean_failure(run({packed}, [] { refuse_system_call(SYS_write, ENOSPC, 2); }), "write refused");
    expect_clean_failure(run({packed}, [] { refuse_system_call(SYS_execveat, EACCES); }), "execveat refused");
}

} // namespace
