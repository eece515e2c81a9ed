// The offscreen renderer behind stillray_snapshot: size parsing, checked program builds, frames
// read back top row first, the EGL platforms and devices it opens and falls back through, the
// record of the renderer, and the tool's choices and refusals.
#include "file_io.h"
#include "process.h"
#include "shader_probe.h"

#include <EGL/egl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
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

TEST(DeviceChoice, HardwareDevicesComeFirstThenSoftwareOnesEachInEglsOrder)
{
    EXPECT_EQ(offscreen::device_preference({"EGL_MESA_device_software EGL_EXT_device_drm_render_node",
                                            "EGL_EXT_device_drm EGL_NV_device_cuda", "", "EGL_MESA_device_software",
                                            "EGL_EXT_device_drm EGL_MESA_device_software_not"}),
              (std::vector<int>{1, 2, 4, 0, 3}));
    EXPECT_TRUE(offscreen::device_preference({}).empty());
}

TEST(DeviceChoice, IndicesAndPlatformNamesParseOnlyWhenExact)
{
    EXPECT_EQ(offscreen::parse_device_index("0"), 0);
    EXPECT_EQ(offscreen::parse_device_index("12"), 12);
    for (const char* malformed : {"", "-1", "+1", "01", "1 ", "x", "1x", "99999999999"})
        EXPECT_FALSE(offscreen::parse_device_index(malformed)) << malformed;
    for (offscreen::Platform platform : offscreen::all_platforms)
        EXPECT_EQ(offscreen::parse_platform(offscreen::platform_name(platform)), platform);
    EXPECT_FALSE(offscreen::parse_platform("Device"));
    EXPECT_FALSE(offscreen::parse_platform(""));
}

// EGL's client extensions without the hidden ones, as an EGL that does not offer them gives them.
std::string client_extensions_without(std::initializer_list<std::string_view> hidden)
{
    std::istringstream offered(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS));
    std::string kept;
    for (std::string name; offered >> name;)
        if (std::find(hidden.begin(), hidden.end(), name) == hidden.end())
            kept += name + " ";
    return kept;
}

// The one pixel of a magenta frame drawn on the current context.
std::array<std::uint8_t, 3> magenta_pixel()
{
    GLuint program = shader_probe::build("#version 450\nout vec3 c;\nvoid main() { c = vec3(1.0, 0.0, 1.0); }\n");
    support::Image<std::uint8_t> frame = offscreen::render<std::uint8_t>(program, {1, 1});
    glDeleteProgram(program);
    return shader_probe::pixel(frame, 0, 0);
}

constexpr std::array<std::uint8_t, 3> magenta{255, 0, 255};

// GL_RENDERER and GL_VERSION of the current context, asked of the GL itself.
std::string renderer_and_version()
{
    return reinterpret_cast<const char*>(glGetString(GL_RENDERER)) + std::string(", GL ") +
           reinterpret_cast<const char*>(glGetString(GL_VERSION));
}

// Mesa offers the device platform with its software device, and the surfaceless platform; the
// default display needs EGL_PLATFORM there, having no window system to use.
TEST(Platforms, EachIsTakenWhereThoseBeforeItAreNotOfferedAndDraws)
{
    setenv("EGL_PLATFORM", "surfaceless", 1);
    struct Case
    {
        std::initializer_list<std::string_view> hidden;
        offscreen::Platform taken;
        std::string where;
    };
    for (const Case& fallback :
         {Case{{}, offscreen::Platform::device, "EGL's device platform, device "},
          Case{{"EGL_EXT_platform_device"}, offscreen::Platform::surfaceless, "EGL's surfaceless platform"},
          Case{{"EGL_EXT_platform_device", "EGL_MESA_platform_surfaceless"},
               offscreen::Platform::default_display,
               "EGL's default display"}})
    {
        offscreen::Context context;
        std::optional<offscreen::Failure> failure = context.open({}, client_extensions_without(fallback.hidden));
        ASSERT_FALSE(failure) << failure->message;
        EXPECT_EQ(context.platform(), fallback.taken) << fallback.where;
        EXPECT_EQ(context.device() >= 0, fallback.taken == offscreen::Platform::device) << context.device();
        EXPECT_EQ(magenta_pixel(), magenta) << fallback.where;
        // Mesa's software renderers draw on its software device; any other renderer is a GPU's.
        std::string device;
        if (fallback.taken == offscreen::Platform::device)
            device = std::to_string(context.device()) +
                     (renderer_and_version().starts_with("llvmpipe") || renderer_and_version().starts_with("softpipe")
                          ? " (software)"
                          : " (hardware)");
        EXPECT_EQ(context.description(), renderer_and_version() + ", through " + fallback.where + device);
    }
}

TEST(Platforms, AChosenPlatformOrDeviceIsTheOneOpened)
{
    {
        offscreen::Context context;
        std::optional<offscreen::Failure> failure = context.open({offscreen::Platform::surfaceless});
        ASSERT_FALSE(failure) << failure->message;
        EXPECT_EQ(context.platform(), offscreen::Platform::surfaceless);
        EXPECT_EQ(magenta_pixel(), magenta);
    }
    auto devices = offscreen::list_devices();
    ASSERT_TRUE(std::holds_alternative<std::vector<offscreen::DeviceListing>>(devices))
        << std::get<offscreen::Failure>(devices).message;
    int last = int(std::get<std::vector<offscreen::DeviceListing>>(devices).size()) - 1;
    ASSERT_GE(last, 0);
    offscreen::Context context;
    std::optional<offscreen::Failure> failure = context.open({std::nullopt, last});
    ASSERT_FALSE(failure) << failure->message;
    EXPECT_EQ(context.platform(), offscreen::Platform::device);
    EXPECT_EQ(context.device(), last);
    EXPECT_EQ(magenta_pixel(), magenta);
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

// Runs stillray_snapshot with the arguments, and the environment assignments before it; its exit
// status and what it printed on stderr.
std::pair<int, std::string> run_snapshot(const std::string& arguments, const std::string& environment = "")
{
    std::string command = environment + " " + STILLRAY_SNAPSHOT + " " + arguments + " 2>&1 >/dev/null";
    FILE* output = popen(command.c_str(), "r");
    std::string text;
    for (int c; (c = std::fgetc(output)) != EOF;)
        text += char(c);
    int status = pclose(output);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST_F(FileOutput, SnapshotRefusesBadRequestsByNameAndWritesNothing)
{
    std::string output = directory_ / "picture.png";
    for (const char* size : {"0x10", "-4x4", "4x"})
    {
        auto [status, message] = run_snapshot(std::string("--size ") + size + " --output " + output);
        EXPECT_EQ(status, 2) << size;
        EXPECT_EQ(message.rfind("stillray_snapshot: --size " + std::string(size) + " is not", 0), 0u) << message;
        EXPECT_NE(message.find("\nusage: stillray_snapshot"), std::string::npos) << message;
    }
    auto [too_large, says] = run_snapshot("--size 100000x4 --output " + output);
    EXPECT_EQ(too_large, 1);
    EXPECT_EQ(says.rfind("stillray_snapshot: size 100000x4 exceeds", 0), 0u) << says;
    EXPECT_EQ(std::count(says.begin(), says.end(), '\n'), 1) << says;
    for (const char* arguments : {"--colour red", "--output"})
    {
        auto [status, message] = run_snapshot(arguments);
        EXPECT_EQ(status, 2) << arguments;
        EXPECT_NE(message.find(std::string(arguments) == "--output"
                                   ? "--output needs a value\nusage: stillray_snapshot"
                                   : "unknown option --colour\nusage: stillray_snapshot"),
                  std::string::npos)
            << message;
    }
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
    EXPECT_EQ(reason.rfind("stillray_snapshot: cannot write " + (directory_ / "none" / "r").string(), 0), 0u) << reason;
}

TEST_F(FileOutput, SnapshotDrawsOnTheChosenPlatformOrDevice)
{
    std::string picture = directory_ / "picture.png";
    for (const char* choice :
         {"--platform device", "--platform surfaceless", "--device 0", "--platform device --device 0"})
    {
        auto [status, message] = run_snapshot("--size 16x9 --output " + picture + " " + choice);
        EXPECT_EQ(status, 0) << choice << ": " << message;
    }
    auto [status, message] =
        run_snapshot("--size 16x9 --output " + picture + " --platform default", "EGL_PLATFORM=surfaceless");
    EXPECT_EQ(status, 0) << message;
    EXPECT_EQ(entries(), std::vector<fs::path>{picture});
}

TEST_F(FileOutput, SnapshotRefusesAnUnknownPlatformOrDeviceByNameAndWritesNothing)
{
    auto devices = offscreen::list_devices();
    ASSERT_TRUE(std::holds_alternative<std::vector<offscreen::DeviceListing>>(devices));
    std::string beyond = std::to_string(std::get<std::vector<offscreen::DeviceListing>>(devices).size());
    std::string output = directory_ / "picture.png";
    struct Refusal
    {
        std::string choice;
        std::string says;
        int status; // 2 for a value that cannot be one, said with the usage
    };
    for (const Refusal& refusal :
         {Refusal{"--platform vulkan", "--platform vulkan: unknown platform", 2},
          Refusal{"--platform Device", "--platform Device: unknown platform", 2},
          Refusal{"--device " + beyond, "there is no device " + beyond, 1},
          Refusal{"--platform device --device " + beyond, "there is no device " + beyond, 1},
          Refusal{"--device -1", "--device -1 is not an index", 2},
          Refusal{"--device one", "--device one is not an index", 2},
          Refusal{"--platform surfaceless --device 0", "a device is chosen on the device platform", 1}})
    {
        auto [status, message] = run_snapshot("--size 16x9 --output " + output + " " + refusal.choice);
        EXPECT_EQ(status, refusal.status) << refusal.choice;
        EXPECT_EQ(message.rfind("stillray_snapshot: ", 0), 0u) << message;
        EXPECT_NE(message.find(refusal.says), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), refusal.status == 2 ? 2 : 1) << message;
    }
    EXPECT_TRUE(entries().empty());
}

// Without an EGL driver (no vendor library for the GL dispatch to load) nothing opens: the one line
// names each platform the request let it try, in order, and why each failed.
TEST_F(FileOutput, SnapshotNamesEachWayTriedWhenNoneWorks)
{
    const std::string no_driver = "__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent";
    std::string output = directory_ / "picture.png";
    struct Attempt
    {
        std::string choice;
        std::vector<std::string> tried;
    };
    for (const Attempt& attempt :
         {Attempt{"", {"device platform: ", "surfaceless platform: ", "default display: "}},
          Attempt{"--platform surfaceless", {"surfaceless platform: "}}, Attempt{"--device 0", {"device platform: "}},
          Attempt{"--platform default", {"default display: "}}})
    {
        auto [status, message] = run_snapshot("--size 16x9 --output " + output + " " + attempt.choice, no_driver);
        EXPECT_EQ(status, 1) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        std::string expected = "stillray_snapshot: no GL 4.5 core context: " + attempt.tried.front();
        EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
        std::size_t at = 0;
        for (const std::string& way : {"device platform: ", "surfaceless platform: ", "default display: "})
        {
            bool named = std::find(attempt.tried.begin(), attempt.tried.end(), way) != attempt.tried.end();
            std::size_t found = message.find(way);
            EXPECT_EQ(found != std::string::npos, named) << way << " in " << message;
            if (named)
            {
                EXPECT_GE(found, at) << "out of order: " << message;
                at = found;
            }
        }
    }
    EXPECT_TRUE(entries().empty());
}

// Each line: the index, hardware or software, and the renderer a snapshot on that device records.
TEST_F(FileOutput, SnapshotListsEachDeviceWithTheRendererThatDrawsOnIt)
{
    support::Finished listing = support::run({STILLRAY_SNAPSHOT, "--list-devices"});
    ASSERT_TRUE(listing.status.clean_exit()) << listing.err;
    std::vector<std::string> lines = support::lines_of(listing.out);
    ASSERT_FALSE(lines.empty());
    bool mesa_software = false;
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        std::string record = directory_ / ("device" + std::to_string(i));
        auto [status, message] = run_snapshot("--size 16x9 --output " + std::string(directory_ / "picture.png") +
                                              " --device " + std::to_string(i) + " --renderer-output " + record);
        ASSERT_EQ(status, 0) << message;
        std::vector<std::string> renderer = support::lines_of(support::read_text(record));
        ASSERT_EQ(renderer.size(), 2u);
        std::string drawn_by = renderer[0] + ", GL " + renderer[1];
        EXPECT_TRUE(lines[i] == std::to_string(i) + ": hardware: " + drawn_by ||
                    lines[i] == std::to_string(i) + ": software: " + drawn_by)
            << lines[i] << "\nbut the snapshot on it records " << drawn_by;
        mesa_software |= lines[i].starts_with(std::to_string(i) + ": software: llvmpipe");
    }
    EXPECT_TRUE(mesa_software) << "Mesa's software device should be listed as such:\n" << listing.out;
}

} // namespace
