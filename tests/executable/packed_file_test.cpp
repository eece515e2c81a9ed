// The self-unpacking file stillray-4k: what it carries and how it is compressed, and how it fails
// when it cannot unpack, with each failure really provoked (a refused system call, a damaged copy).
#include "file_io.h"
#include "lzma_compression.h"
#include "packing.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <regex>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using support::Finished;
using support::run;

// The payload starts where the stub's one loadable segment ends, as readelf reads it.
std::size_t payload_offset()
{
    Finished finished = run({"/usr/bin/readelf", "-lW", STILLRAY_PACKED});
    std::smatch match;
    std::regex load(R"(LOAD\s+0x0+\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+0x([0-9a-f]+))");
    if (!std::regex_search(finished.out, match, load))
        return 0;
    return std::stoul(match[1], nullptr, 16);
}

// In the child: from here on, the given system call fails with the given error.
void refuse_system_call(int number, int error)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(125);
}

// A failure to unpack: status 1 from an exit, not a signal, and exactly one line on stderr.
void expect_clean_failure(const Finished& finished, const char* cause)
{
    EXPECT_TRUE(finished.status.clean_exit(1)) << cause << ": " << finished.status.text();
    EXPECT_EQ(support::lines_of(finished.err).size(), 1u) << cause << ": " << finished.err;
    EXPECT_NE(finished.err.find("cannot unpack"), std::string::npos) << cause << ": " << finished.err;
    EXPECT_EQ(finished.out, "") << cause;
}

Bytes payload()
{
    Bytes packed = support::read_file(STILLRAY_PACKED);
    std::size_t offset = payload_offset();
    if (offset == 0 || offset >= packed.size())
        throw std::runtime_error("readelf shows no payload after the stub");
    return {packed.begin() + offset, packed.end()};
}

TEST(PackedFile, CarriesExactlyThePlainProgram)
{
    support::TempDir directory("packed-file");
    support::write_file_atomically(directory.path() / "payload.lzma", payload());
    Finished finished = run({"/usr/bin/xzcat", directory.path() / "payload.lzma"});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(Bytes(finished.out.begin(), finished.out.end()), support::read_file(STILLRAY_EXECUTABLE));
}

// The shader packer tunes its one-letter names with the compression that
// packing::program_payload_settings names; the payload is exactly that compression of the program,
// settings in its header and all, so the names are tuned against what ships.
TEST(PackedFile, PayloadIsTheCompressionTheShaderPackerMeasures)
{
    Bytes carried = payload();
    EXPECT_EQ(support::settings_of_lzma_stream(carried), packing::program_payload_settings);
    EXPECT_TRUE(carried ==
                support::compress_lzma(support::read_file(STILLRAY_EXECUTABLE), packing::program_payload_settings));
}

TEST(PackedFile, FailsCleanlyWhenItCannotUnpack)
{
    expect_clean_failure(run({STILLRAY_PACKED}, [] { refuse_system_call(SYS_memfd_create, EACCES); }),
                         "memfd_create refused");
    expect_clean_failure(run({STILLRAY_PACKED}, [] { refuse_system_call(SYS_fork, EAGAIN); }), "fork refused");
    expect_clean_failure(run({STILLRAY_PACKED}, [] { refuse_system_call(SYS_execveat, ENOSYS); }), "execveat refused");

    // The decompressor cannot be run: execve refused, the stub itself started through execveat.
    expect_clean_failure(run({STILLRAY_PACKED},
                             [] {
                                 refuse_system_call(SYS_execve, ENOENT);
                                 char* argv[] = {const_cast<char*>(STILLRAY_PACKED), nullptr};
                                 syscall(SYS_execveat, AT_FDCWD, STILLRAY_PACKED, argv, environ, 0);
                             }),
                         "decompressor not runnable");

    // A damaged copy: xzcat fails on the cut stream.
    Bytes damaged = support::read_file(STILLRAY_PACKED);
    damaged.resize(payload_offset() + (damaged.size() - payload_offset()) / 2);
    support::TempDir directory("packed-file");
    support::write_file_atomically(directory.path() / "stillray-4k-cut", damaged, {.mode = 0755});
    expect_clean_failure(run({directory.path() / "stillray-4k-cut"}), "payload cut in half");
}

} // namespace
