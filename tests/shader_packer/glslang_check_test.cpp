// The glslang checks of the shaders in their own build, and of the packer's compact texts.
#include "glslang_check.h"

#include "file_io.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace fs = std::filesystem;

// The shaders' CMake file in a project of its own with this build's tools, one mistake at a time.
TEST(ShaderBuild, MistakesStopItAtTheirLineAndLeaveTheHeaders)
{
    support::TempDir project("shader_build");
    fs::path shaders = project.path() / "shaders", build = project.path() / "build";
    fs::copy(fs::path(FRAGMENT_SOURCE_PATH).parent_path(), shaders);
    support::write_file_atomically(
        project.path() / "CMakeLists.txt",
        "cmake_minimum_required(VERSION 3.25)\nproject(shader_build NONE)\n"
        "add_executable(pack_shader IMPORTED)\nadd_executable(check_shaders IMPORTED)\n"
        "set_target_properties(pack_shader PROPERTIES IMPORTED_LOCATION " PACK_SHADER_PATH ")\n"
        "set_target_properties(check_shaders PROPERTIES IMPORTED_LOCATION " CHECK_SHADERS_PATH ")\n"
        "set(STILLRAY_VERTEX_SOURCE ${CMAKE_SOURCE_DIR}/shaders/picture.vert)\n"
        "set(STILLRAY_FRAGMENT_SOURCE ${CMAKE_SOURCE_DIR}/shaders/picture.frag)\n"
        "set(STILLRAY_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)\n"
        "set(STILLRAY_SHADER_LINES ${STILLRAY_GENERATED_DIR}/vertex_text.lines "
        "${STILLRAY_GENERATED_DIR}/fragment_text.lines)\n"
        "add_subdirectory(shaders)\n");
    std::vector<std::string> build_headers = {CMAKE_COMMAND, "--build", build, "--target", "shader_headers"};
    ASSERT_TRUE(support::run({CMAKE_COMMAND, "-S", project.path(), "-B", build,
                              "-DSTILLRAY_READABLE_SHADERS=" + std::to_string(READABLE_SHADERS)})
                    .status.clean_exit() &&
                support::run(build_headers).status.clean_exit());
    auto with_second_line = [](std::string text, const std::string& line) {
        return text.insert(text.find('\n') + 1, line + "\n");
    };
    auto headers = [&] {
        return support::read_text(build / "generated/vertex_text.h") +
               support::read_text(build / "generated/fragment_text.h");
    };
    const std::string vertex_path = shaders / "picture.vert", fragment_path = shaders / "picture.frag",
                      good_headers = headers(), vertex = support::read_text(vertex_path),
                      fragment = support::read_text(fragment_path), at = fragment_path + ":2: ";
    const std::string mistakes[][3] = {
        {vertex, with_second_line(fragment, "float mistake = undeclared_thing;"), at + "error: 'undeclared_thing'"},
        {vertex, with_second_line(fragment, "int mistake = vec2(1.0);"), at + "error: "},
        {vertex, with_second_line(fragment, "float mistake = dot(vec2(1.0));"), at + "error: 'dot'"},
        {with_second_line(vertex, "out vec2 uv;"), with_second_line(fragment, "in vec3 uv;"),
         vertex_path + ", " + fragment_path + ": error: "},
        {vertex, with_second_line(fragment, "#define main other"), "\n" + fragment_path + ": error: Linking fragment"},
        {vertex, with_second_line(fragment, "#extension GL_ARB_no_such_thing : enable"), at + "warning: "},
    };
    for (const auto& [vertex_source, fragment_source, message] : mistakes)
    {
        support::write_file_atomically(vertex_path, vertex_source);
        support::write_file_atomically(fragment_path, fragment_source);
        support::Finished built = support::run(build_headers);
        EXPECT_NE((built.out + built.err).find(message), std::string::npos) << built.out << built.err;
        bool warning = message.ends_with("warning: ");
        EXPECT_EQ(built.status.clean_exit(), warning) << built.out << built.err;
        EXPECT_EQ(headers() == good_headers, !warning) << message;
    }
}

// A compact text broken on purpose, then a source with a mistake that the packer does not see.
TEST(CompactCheck, ARefusedTextBlamesThePackerWhereTheSourcePasses)
{
    support::TempDir directory("compact_check");
    fs::path source = directory.path() / "in.frag", kept = directory.path() / "in.compact.frag";
    support::write_file_atomically(source, "#version 450\nout float level;\nvoid main()\n{\n    level = 0.5;\n}\n");
    std::string broken = "#version 450\nout float a;void main(){a=b;}";
    std::ostringstream messages;
    EXPECT_FALSE(shader_packer::check_compact_text(source, broken, kept, messages));
    EXPECT_TRUE(
        messages.str().starts_with(kept.string() + ":2: error: the packer's fault: glslang accepts " + source.string()))
        << messages.str();
    EXPECT_EQ(messages.str().find('\n'), messages.str().size() - 1) << "one line";
    EXPECT_EQ(support::read_text(kept), broken);

    support::write_file_atomically(source, "#version 450\nout float level;\nvoid main()\n{\n    level = missing;\n}\n");
    support::Finished packed = support::run({PACK_SHADER_PATH, "stage_text", source, directory.path() / "in.h"});
    EXPECT_TRUE(!packed.status.clean_exit() && packed.err.starts_with(source.string() + ":5: error: 'missing'") &&
                packed.err.ends_with("5 |     level = missing;\n"))
        << packed.err;
    EXPECT_FALSE(fs::exists(directory.path() / "in.h"));
}

// glslangValidator stood in for, first on PATH, by scripts for what the installed one does not
// print: a column after the line, a link message that follows from a stage's own error, an exit
// that no ERROR line explains; then one that refuses the compact text, which is kept beside the
// header as the README names it.
TEST(StandInGlslang, ChecksReadEveryFormOfMessageAndKeepTheRefusedText)
{
    support::TempDir directory("stand_in_glslang");
    setenv("PATH", (directory.path().string() + ":" + std::getenv("PATH")).c_str(), 1);
    auto stand_in = [&](const std::string& script) {
        support::write_file_atomically(directory.path() / "glslangValidator", "#!/bin/sh\n" + script, {.mode = 0755});
    };
    const fs::path vertex = directory.path() / "in.vert", fragment = directory.path() / "in.frag";
    support::write_file_atomically(vertex, "#version 450\nvoid main()\n{\n}\n");
    support::write_file_atomically(fragment,
                                   "#version 450\nout float level;\nvoid main()\n{\n    level = missing;\n}\n");
    const std::string undeclared = "'missing' : undeclared identifier",
                      at_5 = fragment.string() + ":5: error: " + undeclared + "\n    5 |     level = missing;\n";
    const std::string cases[][2] = {
        {"echo \"ERROR: " + fragment.string() + ":5:13: " + undeclared + "\"; exit 2", at_5},
        {"printf '%s\\n' " + vertex.string() + " " + fragment.string() + " \"ERROR: 0:5: " + undeclared +
             "\" 'ERROR: Linking vertex and fragment stages: Missing entry point'; exit 2",
         at_5},
        {"echo 'out of memory'; exit 3", vertex.string() + ", " + fragment.string() +
                                             ": error: glslangValidator ended with exit status 3: out of memory\n"},
    };
    for (const auto& [script, expected] : cases)
    {
        stand_in(script);
        std::ostringstream messages;
        EXPECT_FALSE(shader_packer::check_sources(std::vector<fs::path>{vertex, fragment}, messages)) << script;
        EXPECT_EQ(messages.str(), expected) << script;
    }

    support::write_file_atomically(fragment, "#version 450\nout float level;\nvoid main()\n{\n    level = 0.5;\n}\n");
    stand_in("for f; do :; done; grep -qx '{' \"$f\" || { echo \"ERROR: 0:1: 'a' : refused\"; exit 2; }");
    fs::path kept = directory.path() / "fragment_text.compact.frag";
    support::Finished packed =
        support::run({PACK_SHADER_PATH, "fragment_text", fragment, directory.path() / "fragment_text.h"});
    EXPECT_TRUE(packed.err.starts_with(kept.string() + ":1: error: the packer's fault")) << packed.err;
    EXPECT_TRUE(!packed.status.clean_exit() && fs::exists(kept));
}
