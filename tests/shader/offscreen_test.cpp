// The offscreen renderer behind stillray-snapshot: size parsing, checked program builds, PNG
// files written whole or not at all, the record of the renderer, and the tool's refusals.
#include "png_file.h"
#include "shader_probe.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using offscreen::parse_size;

TEST(SizeOption, AcceptsOnlyTwoPositiveDecimalNumbers)
{
    ASSERT_TRUE(parse_size("1920x1080"));
    EXPECT_EQ(parse_size("1920x1080")->width, 1920);
    EXPECT_EQ(parse_size("1920x1080")->height, 1080);
    EXPECT_TRUE(parse_size("1x1"));
    for (const char* malformed : {"", "x", "1920", "0x10", "10x0", "-5x10", "10x-5", "10x", "x10", "12x12x", "1e3x10",
                                  " 5x5", "5x5 ", "5X5", "+5x5", "99999999999x1"})
        EXPECT_FALSE(parse_size(malformed)) << malformed;
}

class ProgramBuild : public shader_probe::DriverTest
{};

TEST_F(ProgramBuild, ReportsTheStageThatFailsAndTheDriversLog)
{
    auto compile = offscreen::link_checked(shader_probe::readable_vertex().c_str(),
                                           "#version 450\nout vec3 c;\nvoid main() { c = undeclared; }\n");
    ASSERT_TRUE(std::holds_alternative<offscreen::Failure>(compile));
    std::string message = std::get<offscreen::Failure>(compile).message;
    EXPECT_EQ(message.rfind("fragment shader does not compile:\n", 0), 0u) << message;
    EXPECT_NE(message.find("undeclared"), std::string::npos) << "the driver's log should follow: " << message;

    auto link = offscreen::link_checked(shader_probe::readable_vertex().c_str(), "#version 450\nout vec3 c;\n");
    ASSERT_TRUE(std::holds_alternative<offscreen::Failure>(link));
    EXPECT_EQ(std::get<offscreen::Failure>(link).message.rfind("the shaders do not link:\n", 0), 0u);
}

class FileOutput : public testing::Test
{
protected:
    void SetUp() override
    {
        directory_ = fs::temp_directory_path() / ("offscreen_test_" + std::to_string(getpid()));
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    std::vector<fs::path> entries() const { return {fs::directory_iterator(directory_), fs::directory_iterator()}; }

    fs::path directory_;
};

TEST_F(FileOutput, PngKeepsRowOrderThroughAWriteAndARead)
{
    // Two rows of three pixels, bottom row first; every byte distinct.
    offscreen::Image<std::uint8_t> image{{3, 2}, {}};
    for (int i = 0; i < 18; ++i)
        image.rgb.push_back(std::uint8_t(i * 13));
    std::string path = directory_ / "rows.png";
    ASSERT_FALSE(offscreen::write_png(path, image));
    auto read = offscreen::read_png(path);
    ASSERT_TRUE(std::holds_alternative<offscreen::Image<std::uint8_t>>(read));
    EXPECT_EQ(std::get<offscreen::Image<std::uint8_t>>(read).rgb, image.rgb);
    EXPECT_EQ(entries().size(), 1u) << "no temporary file should stay beside the picture";
}

TEST_F(FileOutput, FailedPngWriteLeavesNothingBehind)
{
    offscreen::Image<std::uint8_t> image{{1, 1}, {1, 2, 3}};
    fs::create_directory(directory_ / "taken");
    std::optional<offscreen::Failure> failure = offscreen::write_png(directory_ / "taken", image);
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->message.find("cannot write"), std::string::npos) << failure->message;
    EXPECT_EQ(entries(), std::vector<fs::path>{directory_ / "taken"});
    EXPECT_TRUE(offscreen::write_png(directory_ / "missing" / "picture.png", image));
}

// Runs stillray-snapshot with the arguments; its exit status and what it printed on stderr.
std::pair<int, std::string> run_snapshot(const std::string& arguments)
{
    std::string command = std::string(STILLRAY_SNAPSHOT) + " " + arguments + " 2>&1 >/dev/null";
    FILE* output = popen(command.c_str(), "r");
    std::string text;
    for (int c; (c = std::fgetc(output)) != EOF;)
        text += char(c);
    int status = pclose(output);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST_F(FileOutput, SnapshotRefusesBadRequestsWithOneLineAndWritesNothing)
{
    std::string output = directory_ / "picture.png";
    for (const char* size : {"0x10", "-4x4", "4x", "100000x4"})
    {
        auto [status, message] = run_snapshot(std::string("--size ") + size + " --output " + output);
        EXPECT_EQ(status, 1) << size;
        EXPECT_EQ(message.rfind("stillray-snapshot: size ", 0), 0u) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    }
    auto [status, message] = run_snapshot("--colour red");
    EXPECT_EQ(status, 1);
    EXPECT_NE(message.find("unknown option --colour\nusage: stillray-snapshot"), std::string::npos) << message;
    EXPECT_TRUE(entries().empty());

    auto [written, nothing] = run_snapshot("--size 16x9 --output " + output);
    EXPECT_EQ(written, 0) << nothing;
    EXPECT_EQ(entries(), std::vector<fs::path>{output});
}

// The record holds GL_RENDERER and GL_VERSION as the driver reports them to any context.
TEST_F(FileOutput, SnapshotRecordsTheRendererBesideThePicture)
{
    std::string picture = directory_ / "picture.png", record = directory_ / "picture.renderer";
    auto [status, message] = run_snapshot("--size 16x9 --output " + picture + " --renderer-output " + record);
    ASSERT_EQ(status, 0) << message;
    offscreen::Context context;
    std::optional<offscreen::Failure> no_context = context.open();
    ASSERT_FALSE(no_context) << no_context->message;
    std::string expected = reinterpret_cast<const char*>(glGetString(GL_RENDERER)) + std::string("\n") +
                           reinterpret_cast<const char*>(glGetString(GL_VERSION)) + "\n";
    EXPECT_EQ(shader_probe::read_text(record.c_str()), expected);
    EXPECT_EQ(entries().size(), 2u);

    auto [failed, reason] =
        run_snapshot("--size 16x9 --output " + picture + " --renderer-output " + (directory_ / "none" / "r").string());
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(reason.rfind("stillray-snapshot: cannot write " + (directory_ / "none" / "r").string(), 0), 0u) << reason;
}

} // namespace
