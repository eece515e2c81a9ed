// The self-unpacking file stillray-4k: it is the smaller of the two ways the program packs, and
// the xzcat way carries exactly the program and fails cleanly when it cannot unpack, each failure
// really provoked (a refused system call, a cut copy). The decoding stub's way has its own tests.
#include "decoder_stub_runs.h"
#include "file_io.h"
#include "packing.h"
#include "process.h"
#include "system_call_refusal.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using support::Finished;
using support::run;

Bytes program()
{
    return support::read_file(STILLRAY_EXECUTABLE);
}

executable_packer::PackedFile packed_with_xzcat()
{
    return executable_packer::pack_with_xzcat(support::read_file(XZCAT_STUB), program());
}

// The build packs both ways, the decoder's with the models of its reuse record, and ships the
// smaller, within the limit it packs to: the 4 KiB the file is made for.
TEST(PackedFile, IsTheSmallerOfTheTwoWaysWithinFourKibibytes)
{
    Bytes shipped = support::read_file(STILLRAY_PACKED);
    EXPECT_LE(shipped.size(), std::size_t(PACKED_SIZE_LIMIT));
    EXPECT_LE(shipped.size(), 4096u) << "the file is made for 4 KiB";
    coder::ModelSet models = coder::parse_models_record(support::read_text(MODELS_RECORD)).models;
    executable_packer::PackedFile decoded = executable_packer::pack_with_decoder(
        executable_packer::read_stub_object(support::read_file(DECODER_STUB)), program(), models);
    executable_packer::PackedFile xzcat = packed_with_xzcat();
    // The shader packer tunes its one-letter names against the context-mixing coder, so that
    // they are chosen for what ships: the decoder's way must be the one that does.
    EXPECT_LT(decoded.bytes.size(), xzcat.bytes.size());
    EXPECT_TRUE(shipped == decoded.bytes) << "shipped " << shipped.size() << " bytes; decoder " << decoded.bytes.size()
                                          << ", xzcat " << xzcat.bytes.size();
}

TEST(XzcatWay, CarriesExactlyTheProgram)
{
    executable_packer::PackedFile packed = packed_with_xzcat();
    support::TempDir directory("xzcat-way");
    support::write_file_atomically(directory.path() / "payload.lzma",
                                   std::span(packed.bytes).subspan(packed.stub_size));
    Finished finished = run({"/usr/bin/xzcat", directory.path() / "payload.lzma"});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(Bytes(finished.out.begin(), finished.out.end()), program());
}

TEST(XzcatWay, FailsCleanlyWhenItCannotUnpack)
{
    executable_packer::PackedFile packed = packed_with_xzcat();
    support::TempDir directory("xzcat-way");
    std::string path = write_packed(packed, directory.path(), "stillray-4k");
    expect_clean_failure(run({path}, [] { refuse_system_call(SYS_memfd_create, EACCES); }), "memfd_create refused");
    expect_clean_failure(run({path}, [] { refuse_system_call(SYS_fork, EAGAIN); }), "fork refused");
    expect_clean_failure(run({path}, [] { refuse_system_call(SYS_execveat, ENOSYS); }), "execveat refused");

    // The decompressor cannot be run: execve refused, the stub itself started through execveat.
    expect_clean_failure(run({path},
                             [&] {
                                 refuse_system_call(SYS_execve, ENOENT);
                                 char* argv[] = {path.data(), nullptr};
                                 syscall(SYS_execveat, AT_FDCWD, path.c_str(), argv, environ, 0);
                             }),
                         "decompressor not runnable");

    // A damaged copy: xzcat fails on the cut stream.
    Bytes damaged = packed.bytes;
    damaged.resize(packed.stub_size + packed.payload_size() / 2);
    support::write_file_atomically(directory.path() / "stillray-4k-cut", damaged, {.mode = 0755});
    expect_clean_failure(run({directory.path() / "stillray-4k-cut"}), "payload cut in half");
}

} // namespace
