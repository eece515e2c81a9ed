// The glslang checks: a mistake in a shader stops the real build of the headers at its line and
// leaves the headers as they were; a compact text that glslang refuses is the packer's fault.
#include "glslang_check.h"

#include "file_io.h"
#include "process.h"

#include "fragment_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>

namespace fs = std::filesystem;

namespace {

int line_of(const std::string& text, const std::string& part)
{
    return static_cast<int>(std::count(text.begin(), text.begin() + text.find(part), '\n')) + 1;
}

std::string replaced(std::string text, const std::string& part, const std::string& by)
{
    return text.replace(text.find(part), part.size(), by);
}

} // namespace

// The shaders' own CMake file, in a project of its own with this build's tools, copies of the
// sources given one mistake at a time.
TEST(ShaderBuild, MistakesStopItAtTheirLineAndLeaveTheHeaders)
{
    support::TempDir project("shader_build");
    fs::path shaders = project.path() / "shaders", build = project.path() / "build";
    fs::copy(SHADERS_SOURCE_DIR, shaders);
    support::write_file_atomically(
        project.path() / "CMakeLists.txt",
        "cmake_minimum_required(VERSION 3.25)\nproject(shader_build NONE)\n"
        "add_executable(pack_shader IMPORTED)\nadd_executable(check_shaders IMPORTED)\n"
        "set_target_properties(pack_shader PROPERTIES IMPORTED_LOCATION " PACK_SHADER_PATH
        ")\nset_target_properties(check_shaders PROPERTIES IMPORTED_LOCATION " CHECK_SHADERS_PATH
        ")\nadd_subdirectory(shaders)\n");
    auto cmake = [](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), CMAKE_COMMAND);
        support::Finished finished = support::run(arguments);
        return std::pair{finished.status.clean_exit(), finished.out + finished.err};
    };
    auto headers = [&] {
        return support::read_text(build / "generated/vertex_text.h") +
               support::read_text(build / "generated/fragment_text.h");
    };
    std::vector<std::string> build_headers = {"--build", build, "--target", "shader_headers"};
    ASSERT_TRUE(cmake({"-S", project.path(), "-B", build,
                       std::string("-DSTILLRAY_READABLE_SHADERS=") + (READABLE_SHADERS ? "ON" : "OFF")})
                    .first);
    ASSERT_TRUE(cmake(build_headers).first);
    const std::string good_headers = headers(), vertex = support::read_text(shaders / "picture.vert"),
                      fragment = support::read_text(shaders / "picture.frag"), version = "#version 450\n",
                      vertex_path = (shaders / "picture.vert").string(),
                      fragment_path = (shaders / "picture.frag").string(), sum = "return dot(v, v);",
                      at = fragment_path + ":" + std::to_string(line_of(fragment, sum)) + ": ";
    const std::array<std::string, 4> mistakes[] = {
        {vertex, replaced(fragment, sum, "return dot(v, v) + undeclared_thing;"), at + "error: 'undeclared_thing'",
         "return dot(v, v) + undeclared_thing;"},
        {vertex, replaced(fragment, sum, "return v;"), at + "error: ", "return v;"},
        {vertex, replaced(fragment, sum, "return dot(v, v, v);"), at + "error: 'dot'", "return dot(v, v, v);"},
        {replaced(vertex, version, version + "out vec2 uv;\n"), replaced(fragment, version, version + "in vec3 uv;\n"),
         vertex_path + ", " + fragment_path + ": error: ", ""},
        {vertex, replaced(fragment, version, version + "#extension GL_ARB_no_such_thing : enable\n"),
         fragment_path + ":2: warning: ", "#extension GL_ARB_no_such_thing : enable"},
    };
    for (const auto& [vertex_source, fragment_source, message, source_line] : mistakes)
    {
        support::write_file_atomically(shaders / "picture.vert", vertex_source);
        support::write_file_atomically(shaders / "picture.frag", fragment_source);
        auto [built, output] = cmake(build_headers);
        std::size_t found = output.find(message);
        ASSERT_NE(found, std::string::npos) << output;
        std::string under = support::lines_of(output.substr(found)).at(1);
        EXPECT_TRUE(source_line.empty() || (under.find(" | ") != std::string::npos && under.ends_with(source_line)))
            << output;
        bool warning = message.ends_with("warning: ");
        EXPECT_EQ(built, warning) << output;
        EXPECT_EQ(headers() == good_headers, !warning) << output;
    }
}

// The check alone is handed a compact text broken on purpose; pack_shader, a source with a
// mistake the packer does not see, which is the source's fault.
TEST(CompactCheck, ARefusedTextBlamesThePackerWhereTheSourcePasses)
{
    support::TempDir directory("compact_check");
    std::string broken = fragment_text;
    broken.insert(broken.rfind('}'), "undeclared_thing=1;");
    fs::path kept = directory.path() / "fragment_text.compact.frag";
    std::ostringstream messages;
    EXPECT_FALSE(shader_packer::check_compact_text(FRAGMENT_SOURCE_PATH, broken, kept, messages));
    std::string message = messages.str();
    EXPECT_TRUE(message.starts_with(kept.string() + ":" + std::to_string(line_of(broken, "undeclared_thing")) +
                                    ": error: the packer's fault: glslang accepts " FRAGMENT_SOURCE_PATH))
        << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(support::read_text(kept), broken);

    fs::path source = directory.path() / "in.frag", header = directory.path() / "in.h";
    support::write_file_atomically(source, "#version 450\nout float level;\nvoid main()\n{\n    level = missing;\n}\n");
    support::Finished packed = support::run({PACK_SHADER_PATH, "stage_text", source, header});
    EXPECT_FALSE(packed.status.clean_exit());
    EXPECT_TRUE(packed.err.starts_with(source.string() + ":5: error: 'missing'")) << packed.err;
    EXPECT_FALSE(fs::exists(header) || fs::exists(directory.path() / "in.compact.frag"));
}
