// Whole files: reading, all-or-nothing writing (failures leave the target and no temporary file),
// and temporary directories.
#include "file_io.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using support::FileError;
using support::write_file_atomically;
using support::WriteOptions;

class Files : public testing::Test
{
protected:
    std::vector<fs::path> entries() const
    {
        return {fs::directory_iterator(directory.path()), fs::directory_iterator()};
    }
    static fs::perms permissions(const fs::path& path) { return fs::status(path).permissions(); }

    support::TempDir directory{"file-io-test"};
};

TEST_F(Files, WritesWholeFilesWithTheGivenModeAndReadsThemBack)
{
    const std::vector<std::uint8_t> bytes = {0, 1, 0xff, '\n', 0x80, 0};
    const fs::path program = directory.path() / "program", text = directory.path() / "text";
    write_file_atomically(program, bytes, {.mode = 0751});
    write_file_atomically(text, "first");
    write_file_atomically(text, std::string_view("second\0", 7));
    EXPECT_EQ(support::read_file(program), bytes);
    EXPECT_EQ(support::read_text(text), std::string("second\0", 7));
    EXPECT_EQ(permissions(program), fs::perms(0751));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(permissions(text), fs::perms(0666 & ~mask)) << "the mode of an ordinary new file";
    EXPECT_EQ(entries().size(), 2u) << "no temporary file stays beside the files";
}

// The check sees the whole new content under the temporary name; when it throws, the target
// keeps its old content, the temporary file goes and the check's error comes out.
TEST_F(Files, ARefusedWriteLeavesTheTargetAndNoTemporaryFile)
{
    const fs::path target = directory.path() / "target";
    write_file_atomically(target, "old");
    std::string checked_path, checked_content;
    auto refuse = [&](const std::string& temporary) {
        checked_path = temporary;
        checked_content = support::read_text(temporary);
        throw std::invalid_argument("refused");
    };
    EXPECT_THROW(write_file_atomically(target, "new content", {.check = refuse}), std::invalid_argument);
    EXPECT_EQ(checked_content, "new content");
    EXPECT_NE(checked_path, target.string());
    EXPECT_EQ(fs::path(checked_path).parent_path(), directory.path()) << "beside the target";
    EXPECT_EQ(support::read_text(target), "old");
    EXPECT_EQ(entries(), std::vector<fs::path>{target});
}

// Ctrl-C while the write is under way (here from the check, which runs on the whole temporary
// file) ends the process once the file is in its place; after a write no ending signal is held.
TEST_F(Files, AnInterruptedWriteEndsWithTheFileInItsPlace)
{
    const fs::path target = directory.path() / "target";
    auto interrupted_write = [&] {
        signal(SIGINT, SIG_DFL);
        write_file_atomically(target, "whole", {.check = [](const std::string&) { raise(SIGINT); }});
        std::exit(0);
    };
    EXPECT_EXIT(interrupted_write(), testing::KilledBySignal(SIGINT), "");
    EXPECT_EQ(entries(), std::vector<fs::path>{target});
    EXPECT_EQ(support::read_text(target), "whole");

    write_file_atomically(target, "again");
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (int ending : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        EXPECT_FALSE(sigismember(&mask, ending)) << ending;
}

TEST_F(Files, WriteFailuresAreReportedAndLeaveNothingBehind)
{
    const fs::path taken = directory.path() / "taken";
    fs::create_directory(taken);
    try
    {
        write_file_atomically(taken, "over a directory");
        ADD_FAILURE() << "a file replaced a directory";
    }
    catch (const FileError& error)
    {
        EXPECT_NE(std::string(error.what()).find(taken.string()), std::string::npos) << error.what();
    }
    EXPECT_TRUE(fs::is_directory(taken));
    EXPECT_EQ(entries(), std::vector<fs::path>{taken});

    EXPECT_THROW(write_file_atomically(directory.path() / "missing" / "file", "text"), FileError);
    EXPECT_EQ(entries(), std::vector<fs::path>{taken});
}

TEST_F(Files, ReadingAMissingFileNamesIt)
{
    try
    {
        support::read_file(directory.path() / "missing");
        ADD_FAILURE() << "read a missing file";
    }
    catch (const FileError& error)
    {
        EXPECT_NE(std::string(error.what()).find((directory.path() / "missing").string()), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("No such file"), std::string::npos) << error.what();
    }
    EXPECT_THROW(support::read_text(directory.path()), FileError) << "a directory is no file to read";
}

TEST(TempDir, IsPrivateAndGoesWithItsContents)
{
    fs::path path;
    {
        support::TempDir directory("temp-dir-test");
        path = directory.path();
        EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
        fs::create_directories(path / "inner");
        std::ofstream(path / "inner" / "file") << "content";
    }
    EXPECT_FALSE(fs::exists(path));
}

} // namespace
