// The packed program under the conditions it meets outside the test bench, packed either way:
// memory files sealed non-executable by default (vm.memfd_noexec, set in a PID namespace of the
// test's own), kernels that do not know the flag asking for an executable one, the name ps and
// pgrep show; and the decoding stub's payload damaged or cut at random, each copy run with a
// limit on its processor time.
#include "decoder_stub_runs.h"
#include "system_call_refusal.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using support::Finished;
using support::run;

constexpr unsigned memory_file_executable_flag = 0x10; // MFD_EXEC, Linux 6.3

const fs::path noexec_setting = "/proc/sys/vm/memfd_noexec";

// The command that runs a program in a new PID namespace with vm.memfd_noexec set there, or
// nothing when this kernel or this machine's permissions do not allow one, with the reason.
class NoexecNamespace
{
public:
    NoexecNamespace()
    {
        if (!fs::exists(noexec_setting))
        {
            reason_ = "this kernel has no " + noexec_setting.string() + " (it came with Linux 6.3)";
            return;
        }
        // As root, a PID namespace of its own; otherwise one inside a user namespace. A namespace
        // may raise the setting but not lower it below its parent's: probing with the lower of
        // the two values tested finds a machine set to 2 already.
        for (const char* flags : {"-fp", "-Urfp"})
        {
            Finished probe = run(command(flags, 1, {"/bin/true"}));
            if (probe.status.clean_exit())
            {
                flags_ = flags;
                return;
            }
            reason_ += std::string("unshare ") + flags + ": " + probe.err;
        }
    }

    bool available() const { return !flags_.empty(); }
    const std::string& reason() const { return reason_; }

    std::vector<std::string> command(int setting, const std::vector<std::string>& program) const
    {
        return command(flags_, setting, program);
    }

private:
    static std::vector<std::string> command(const std::string& flags, int setting,
                                            const std::vector<std::string>& program)
    {
        std::vector<std::string> command = {"/usr/bin/unshare",
                                            flags,
                                            "--mount-proc",
                                            "/bin/sh",
                                            "-c",
                                            "echo \"$0\" > " + noexec_setting.string() + " && \"$@\"",
                                            std::to_string(setting)};
        command.insert(command.end(), program.begin(), program.end());
        return command;
    }

    std::string flags_;
    std::string reason_;
};

// Packs the program the given way ("decoder" or "xzcat") into the directory.
fs::path pack_the_way(const std::string& way, const fs::path& program, const fs::path& directory,
                      const std::string& name)
{
    if (way == "decoder")
        return pack_with_decoder(program, directory, name);
    return write_packed(executable_packer::pack_with_xzcat(support::read_file(XZCAT_STUB), support::read_file(program)),
                        directory, name);
}

// Both ways of packing make and run the memory file the same way.
class MemoryFile : public testing::TestWithParam<std::string>
{
protected:
    support::TempDir directory{"memory-file"};
    fs::path packed = pack_the_way(GetParam(), RANDOM_DATA_PROGRAM, directory.path(), "packed");
    Finished expected = run({RANDOM_DATA_PROGRAM, "one"});
};

// Setting 1 seals memory files made without a word on it non-executable: the stub asks for an
// executable one and starts. Setting 2 refuses that request: the stub ends with its one line.
// Where no namespace may be made, refusing every memory file not asked for as executable shows
// that the stub asks.
TEST_P(MemoryFile, StartsWhereMemoryFilesAreNonExecutableByDefault)
{
    Finished asked = run({packed, "one"}, [] {
        refuse_system_call_flag(SYS_memfd_create, memory_file_executable_flag, EACCES, false);
    });
    EXPECT_TRUE(asked.status.clean_exit()) << asked.status.text() << ": " << asked.err;
    EXPECT_EQ(asked.out, expected.out);

    NoexecNamespace pid_namespace;
    if (!pid_namespace.available())
        GTEST_SKIP() << pid_namespace.reason();

    Finished sealed_by_default = run(pid_namespace.command(1, {packed, "one"}));
    EXPECT_TRUE(sealed_by_default.status.clean_exit())
        << sealed_by_default.status.text() << ": " << sealed_by_default.err;
    EXPECT_EQ(sealed_by_default.out, expected.out);

    expect_clean_failure(run(pid_namespace.command(2, {packed, "one"})), "executable memory files refused");
}

// Before Linux 6.3 memfd_create refuses the unknown flag with EINVAL; the stub asks again
// without it. Refused both ways, it fails.
TEST_P(MemoryFile, StartsWhereTheKernelDoesNotKnowTheExecutableFlag)
{
    Finished finished =
        run({packed, "one"}, [] { refuse_system_call_flag(SYS_memfd_create, memory_file_executable_flag, EINVAL); });
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    EXPECT_EQ(finished.out, expected.out);

    expect_clean_failure(run({packed}, [] { refuse_system_call(SYS_memfd_create, EINVAL); }),
                         "memfd_create refused with EINVAL whatever the flags");
}

// The kernel names a program started from a memory file after the file, "memfd:" and its name;
// ps and pgrep read that name.
TEST_P(MemoryFile, RunningProgramIsNamedAfterStillray)
{
    fs::path named = pack_the_way(GetParam(), NAMED_DATA_PROGRAM, directory.path(), "named");
    Finished finished = run({named});
    ASSERT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
    std::vector<std::string> lines = support::lines_of(finished.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "memfd:stillray");
}

INSTANTIATE_TEST_SUITE_P(BothWays, MemoryFile, testing::Values("decoder", "xzcat"));

// Copies of a packed program with bytes of the stream and contexts changed at random, or cut at
// a random length, each run with a second of processor time: every one ends with the one line
// and status 1, or runs as the program where the reference decoder still finds the program and
// its final code.
TEST(DecoderStubDamage, RandomDamageEndsInTheOneLineWithinASecondOfWork)
{
    constexpr int copies = 1000;
    support::TempDir directory("random-damage");
    fs::path packed = pack_with_decoder(RANDOM_DATA_PROGRAM, directory.path(), "packed");
    Bytes file = support::read_file(packed), program = support::read_file(RANDOM_DATA_PROGRAM);
    std::string expected = run({RANDOM_DATA_PROGRAM}).out;
    std::size_t stub = packed_parts(file.size()).stream_start;
    coder::Decoded whole = decode_packed(file, program.size());
    ASSERT_EQ(whole.data, program);

    // A second of processor time, after which the kernel ends the copy with SIGXCPU: a spinning
    // copy fails so however busy the machine is; the wall-clock deadline catches one that waits.
    auto limit_processor_time = [] {
        rlimit second = {1, 1};
        setrlimit(RLIMIT_CPU, &second);
    };
    constexpr std::chrono::seconds hang_deadline{30};

    std::mt19937 random(20261209);
    auto payload_place = [&] { return std::uniform_int_distribution<std::size_t>(stub, file.size() - 1)(random); };
    int still_whole = 0, cut = 0;
    fs::path path = directory.path() / "damaged";
    for (int copy = 0; copy < copies; ++copy)
    {
        Bytes damaged = file;
        std::size_t size = file.size();
        if (copy % 5 == 0)
        {
            size = payload_place();
            ++cut;
        }
        else
            for (int changes = 1 + copy % 3; changes > 0; --changes)
                damaged[payload_place()] ^= static_cast<std::uint8_t>(1 + random() % 255);
        // What the stub reads past a cut: the zero memory after the file's bytes.
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(size), damaged.end(), 0);
        support::write_file_atomically(path, std::span(damaged).first(size), {.mode = 0755});
        support::Process process(path, {{}, support::current_environment(), {}, -1, limit_processor_time});
        std::optional<support::ExitStatus> status = process.wait_for_exit(hang_deadline);
        ASSERT_TRUE(status) << "copy " << copy << " still running after " << hang_deadline.count() << " s";
        // A copy that runs must be one whose stream the reference still decodes to the program,
        // ending with the same code; decoding every copy here would double the test's time for
        // nothing more.
        if (status->clean_exit())
        {
            EXPECT_TRUE(decode_packed(damaged, program.size()) == whole)
                << "copy " << copy << " ran, but its stream is not the program's";
            ++still_whole;
            EXPECT_EQ(process.standard_output(), expected) << "copy " << copy;
        }
        else
            expect_clean_failure({*status, process.standard_output(), process.standard_error()},
                                 "copy " + std::to_string(copy));
    }
    EXPECT_LT(still_whole, copies / 50) << "only the stream's last bytes may not matter";
    RecordProperty("cut", cut);
    RecordProperty("still_whole", still_whole);
}

} // namespace
