// The self-unpacking file stillray-4k: its size, what it carries, and how it fails when it cannot
// unpack, with each failure really provoked (a refused system call, a damaged copy).
#include "child_process.h"
#include "file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <regex>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The payload starts where the stub's one loadable segment ends, as readelf reads it.
std::size_t payload_offset()
{
    Finished finished = run_child({"/usr/bin/readelf", "-lW", STILLRAY_PACKED});
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
    EXPECT_EQ(finished.signal, 0) << cause;
    EXPECT_EQ(finished.exit_code, 1) << cause;
    EXPECT_EQ(lines_of(finished.err).size(), 1u) << cause << ": " << finished.err;
    EXPECT_NE(finished.err.find("cannot unpack"), std::string::npos) << cause << ": " << finished.err;
    EXPECT_EQ(finished.out, "") << cause;
}

TEST(PackedFile, FitsInFourKibibytes)
{
    EXPECT_LE(fs::file_size(STILLRAY_PACKED), 4096u);
}

TEST(PackedFile, CarriesExactlyThePlainProgram)
{
    Bytes packed = read_file(STILLRAY_PACKED);
    std::size_t offset = payload_offset();
    ASSERT_GT(offset, 0u);
    ASSERT_LT(offset, packed.size());
    std::string payload = fs::temp_directory_path() / ("payload-" + std::to_string(getpid()) + ".lzma");
    std::ofstream(payload, std::ios::binary)
        .write(reinterpret_cast<const char*>(packed.data() + offset), packed.size() - offset);
    Finished finished = run_child({"/usr/bin/xzcat", payload});
    fs::remove(payload);
    ASSERT_EQ(finished.exit_code, 0) << finished.err;
    EXPECT_EQ(Bytes(finished.out.begin(), finished.out.end()), read_file(STILLRAY_EXECUTABLE));
}

TEST(PackedFile, FailsCleanlyWhenItCannotUnpack)
{
    expect_clean_failure(run_child({STILLRAY_PACKED}, [] { refuse_system_call(SYS_memfd_create, EACCES); }),
                         "memfd_create refused");
    expect_clean_failure(run_child({STILLRAY_PACKED}, [] { refuse_system_call(SYS_fork, EAGAIN); }), "fork refused");
    expect_clean_failure(run_child({STILLRAY_PACKED}, [] { refuse_system_call(SYS_execveat, ENOSYS); }),
                         "execveat refused");

    // The decompressor cannot be run: execve refused, the stub itself started through execveat.
    expect_clean_failure(run_child({STILLRAY_PACKED},
                                   [] {
                                       refuse_system_call(SYS_execve, ENOENT);
                                       char* argv[] = {const_cast<char*>(STILLRAY_PACKED), nullptr};
                                       syscall(SYS_execveat, AT_FDCWD, STILLRAY_PACKED, argv, environ, 0);
                                   }),
                         "decompressor not runnable");

    // A damaged copy: xzcat fails on the cut stream.
    Bytes damaged = read_file(STILLRAY_PACKED);
    damaged.resize(payload_offset() + (damaged.size() - payload_offset()) / 2);
    std::string copy = fs::temp_directory_path() / ("stillray-4k-cut-" + std::to_string(getpid()));
    write_file_atomically(copy, damaged, 0755);
    Finished cut = run_child({copy});
    fs::remove(copy);
    expect_clean_failure(cut, "payload cut in half");
}

} // namespace
