// The offscreen renderer behind stillray-snapshot: size parsing, checked program builds, frames
// read back top row first, the record of the renderer, and the tool's refusals.
#include "file_io.h"
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

// GL counts rows from the bottom; frames come back with the top row first, and the probes'
// pixel() counts from the bottom again.
TEST_F(ProgramBuild, FramesComeBackTopRowFirst)
{
    auto program = offscreen::link_checked(shader_probe::readable_vertex().c_str(),
                                           "#version 450\nout vec3 c;\nvoid main() { c = vec3(0.0, "
                                           "gl_FragCoord.y / 4.0, gl_FragCoord.x / 4.0); }\n");
    ASSERT_TRUE(std::holds_alternative<GLuint>(program)) << std::get<offscreen::Failure>(program).message;
    support::Image<std::uint8_t> frame = offscreen::render<std::uint8_t>(std::get<GLuint>(program), {2, 3});
    ASSERT_EQ(frame.rgb.size(), 18u);
    // Green grows with the row from the bottom (y = 0.5, 1.5, 2.5), blue with the column.
    EXPECT_GT(frame.rgb[1], frame.rgb[3 * 2 + 1]);
    EXPECT_GT(frame.rgb[3 * 2 + 1], frame.rgb[3 * 4 + 1]);
    EXPECT_LT(frame.rgb[2], frame.rgb[5]);
    EXPECT_EQ(shader_probe::pixel(frame, 1, 2),
              (std::array<std::uint8_t, 3>{frame.rgb[3], frame.rgb[4], frame.rgb[5]}));
    glDeleteProgram(std::get<GLuint>(program));
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

// Sizes up to the driver's limits are drawn, to the pixel: as wide and as high as both a
// renderbuffer and the viewport may be; one pixel more is refused.
TEST_F(FileOutput, SnapshotDrawsUpToTheDriversLimitAndNoFurther)
{
    offscreen::Context context;
    std::optional<offscreen::Failure> no_context = context.open();
    ASSERT_FALSE(no_context) << no_context->message;
    GLint renderbuffer = 0, viewport[2] = {};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &renderbuffer);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    int widest = std::min(renderbuffer, viewport[0]), highest = std::min(renderbuffer, viewport[1]);
    std::string output = directory_ / "picture.png";
    for (std::string size : {std::to_string(widest) + "x1", "1x" + std::to_string(highest)})
    {
        auto [status, message] = run_snapshot("--size " + size + " --output " + output);
        EXPECT_EQ(status, 0) << size << ": " << message;
    }
    for (std::string size : {std::to_string(widest + 1) + "x1", "1x" + std::to_string(highest + 1)})
    {
        auto [status, message] = run_snapshot("--size " + size + " --output " + output);
        EXPECT_EQ(status, 1) << size;
        EXPECT_NE(message.find("exceeds the driver's limit"), std::string::npos) << size << ": " << message;
    }
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
    EXPECT_EQ(support::read_text(record), expected);
    EXPECT_EQ(entries().size(), 2u);

    auto [failed, reason] =
        run_snapshot("--size 16x9 --output " + picture + " --renderer-output " + (directory_ / "none" / "r").string());
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(reason.rfind("stillray-snapshot: cannot write " + (directory_ / "none" / "r").string(), 0), 0u) << reason;
}

} // namespace
