// Shaders that each use one family of GLSL constructs: their compact texts pass glslang and,
// where the family draws in a GL 4.5 core context, draw the same bits as the readable ones.
#include "file_io.h"
#include "glslang_check.h"
#include "process.h"
#include "shader_packer.h"
#include "shader_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

namespace {

class ConstructFamilies : public shader_probe::DriverTest
{};

const std::string es_vertex = "#version 300 es\nvoid main() { gl_Position = vec4(vec2(gl_VertexID & 1, gl_VertexID >> "
                              "1) * 2.0 - 1.0, 0.0, 1.0); }\n";
const std::string block_vertex = "#version 450\nout Surface { vec3 normal; } surface;\nvoid main() { vec2 at = "
                                 "vec2(gl_VertexID & 1, gl_VertexID >> 1) * 2.0 - 1.0; surface.normal = vec3(at, "
                                 "0.5); gl_Position = vec4(at, 0.0, 1.0); }\n";

struct Family
{
    const char* name;
    std::string vertex; // empty: the family is checked by glslang alone
    std::string fragment;
};

const Family families[] = {
    {"literals without implicit conversions", es_vertex,
     "#version 300 es\nprecision highp float;\nout vec4 colour;\nfloat f = 11.0;\nvoid main() {\nvec2 s = "
     "gl_FragCoord.xy / 8.0;\nfloat v = s.x * 2.0 - 1.0;\nif (v < 0.0) v = v * 3.0 + f;\ncolour = vec4(v, s.y * 2.0, "
     "1.0, 1.0);\n}\n"},
    {"version 110", "",
     "#version 110\nuniform vec4 w;\nvoid main() {\nfloat a = 2.0;\nif (w.x < 0.0) a = a * 4.0 - "
     "1.0;\ngl_FragColor = vec4(a, w.y * 2.0, 0.0, 1.0);\n}\n"},
    {"directives and precision statements", shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nfloat g = 1.5;\n#pragma optimize(on)\n#line 9\nprecision highp float;\nvoid "
     "main() {\nprecision mediump int;\ncolour = vec4(g, g * gl_FragCoord.x, 0.0, 1.0);\n}\n"},
    {"extensions after declarations and strings in directives", "",
     "#version 450\nout vec4 colour;\n#extension GL_GOOGLE_cpp_style_line_directive : enable\n#line 9 "
     "\"shading.glsl\"\nvoid main() { colour = vec4(1.0); }\n"},
    {"interface blocks", block_vertex,
     "#version 450\nin Surface { vec3 normal; } surface;\nlayout(location = 0) out vec4 frag;\nfloat shade(vec3 n) { "
     "return dot(n, surface.normal) * 2.0; }\nvoid main() { frag = vec4(shade(normalize(surface.normal)), "
     "surface.normal); }\n"},
    {"uniform and buffer blocks", "",
     "#version 450\nlayout(std140, binding = 0) uniform Lights { vec3 colour[3]; float strength; } lights[2];\n"
     "layout(std140, binding = 1) uniform Camera { mat4 view; float zoom; };\nlayout(std430, binding = 2) buffer "
     "Output { float values[]; } results;\nout vec4 frag;\nvoid main() {\nfloat sum = 0.0;\nfor (int i = 0; i < 3; "
     "i++) sum += lights[1].colour[i].x * lights[0].strength;\nresults.values[0] = sum * zoom;\nfrag = vec4(sum, "
     "view[0]);\n}"
     "\n"},
    {"redeclared built-ins and array constructors", shader_probe::readable_vertex(),
     "#version 450\nlayout(depth_greater) out float gl_FragDepth;\nout vec4 colour;\nconst float w[3] = float[](0.25, "
     "0.5, 0.25);\nvoid main() {\nfloat v[3] = float[3](gl_FragCoord.x * 2.0, 1.0, 2.0);\ngl_FragDepth = "
     "0.5;\ncolour = vec4(v[0] * w[0], v[1] * w[1], v.length(), 1.0);\n}\n"},
    {"switch with fall-through, and break in a switch and in a loop", shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nfloat pick(int k, float x) {\nfloat r = 0.0;\nswitch (k) {\ncase 0:\nr = x * "
     "2.0;\ncase 1:\ncase 2:\nr += 1.0;\nbreak;\ncase 3: {\nfloat t = x * x;\nr = t + 0.5;\nbreak;\n}\ndefault:\n"
     "for (int i = 0; i < 4; i++) {\nif (i == k - 4)\nbreak;\nr += 0.25;\n}\n}\nreturn r;\n}\nvoid main() {\nint k "
     "= int(gl_FragCoord.x) % 7;\nfloat s = 0.0;\nfor (int j = 0; j < 3; j++) {\nswitch (j + k) {\ncase 2:\n"
     "continue;\ncase 5:\ns -= 1.0;\nbreak;\ndefault:\ns += pick(j + k, gl_FragCoord.y / 8.0);\n}\ns += 0.125;\n}"
     "\ncolour = vec4(s, pick(k, 0.5), 0.0, 1.0);\n}\n"},
    {"structs declared in functions and with variables", shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nstruct light { vec3 colour; float power; } sun = light(vec3(1.0, 0.5, 0.25), "
     "2.0), moon;\nfloat glow(float x) {\nstruct hit { float d; vec2 at[2]; };\nhit h;\nh.d = x * 0.5;\nh.at[1] = "
     "vec2(x, h.d);\nreturn h.at[1].y + h.d;\n}\nvoid main() {\nstruct probe { float v; int n; } first, second = "
     "probe(0.25, 3);\nfirst.v = gl_FragCoord.x / 8.0;\nfirst.n = int(gl_FragCoord.y);\nmoon.power = "
     "float(second.n);\n{\nstruct inner { float w; } i = inner(first.v);\nfirst.v += i.w;\n}\ncolour = "
     "vec4(sun.colour * sun.power * glow(first.v), float(first.n + second.n) / moon.power + second.v);\n}\n"},
    {"object-like macros, nested, naming the program's own names, undefined and defined again",
     shader_probe::readable_vertex(),
     "#version 450\n#define STEPS 3\n#define HALF (0.5 * shade)\nout vec4 colour;\nfloat shade = 0.25;\n#define TINT "
     "vec3(HALF, 0.125, float(STEPS))\nfloat spread(float x) { return x * HALF; }\n#define STEPS 3\nvoid main() "
     "{\nvec3 sum = vec3(0.0);\nfor (int i = 0; i < STEPS; i++)\nsum += TINT * spread(gl_FragCoord.x);\n#undef "
     "STEPS\nfloat STEPS = 2.0;\ncolour = vec4(sum / STEPS, 1.0);\n}\n"},
    {"conditional blocks around precision statements and directives, each branch kept", shader_probe::readable_vertex(),
     "#version 450\n#ifdef GL_ES\nprecision highp float; // ES only\n#elif defined(HOST_LOW) && HOST_LOW > "
     "1\nprecision "
     "mediump float;\n#else\n#extension GL_ARB_gpu_shader_fp64 : enable\n#ifndef HOST_FAST\nprecision highp int;\n"
     "#endif\n#endif\nout vec4 colour;\nvoid main() { colour = vec4(gl_FragCoord.x * 0.5, 0.0, 0.0, 1.0); }\n"},
    {"unnamed parameters", "",
     "#version 450\nout vec4 colour;\nfloat twice(float, float b) { return b * 2.0; }\nvoid "
     "main() { colour = vec4(twice(1.0, gl_FragCoord.x)); }\n"},
};

std::optional<support::Image<float>> drawn(const std::string& vertex, const std::string& fragment)
{
    offscreen::Result<GLuint> program = offscreen::link_checked(vertex.c_str(), fragment.c_str());
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
    {
        ADD_FAILURE() << failure->message << "\n" << fragment;
        return std::nullopt;
    }
    support::Image<float> image = offscreen::render<float>(std::get<GLuint>(program), {8, 8});
    glDeleteProgram(std::get<GLuint>(program));
    return image;
}

} // namespace

TEST_F(ConstructFamilies, CompactTextsPassGlslangAndDrawTheSameBits)
{
    support::TempDir directory("families");
    for (const Family& family : families)
    {
        std::string compact = shader_packer::compact(family.fragment);
        std::filesystem::path source = directory.path() / "family.frag";
        support::write_file_atomically(source, family.fragment);
        std::ostringstream messages;
        EXPECT_TRUE(shader_packer::check_compact_text(source, compact, directory.path() / "refused.frag", messages))
            << family.name << ": " << messages.str() << compact;
        if (family.vertex.empty())
            continue;
        auto readable = drawn(family.vertex, family.fragment), packed = drawn(family.vertex, compact);
        ASSERT_TRUE(readable && packed) << family.name;
        EXPECT_EQ(0, std::memcmp(readable->rgb.data(), packed->rgb.data(), readable->rgb.size() * sizeof(float)))
            << family.name << ":\n" << compact;
    }
}

// What glslang's preprocessor leaves of a text for the macros a host defines: its precision
// statements and extension lines.
std::vector<std::string> preprocessed_directions(const std::filesystem::path& source, const std::string& define)
{
    std::vector<std::string> command = {support::program_on_path("glslangValidator", std::getenv("PATH")).string(), "-E", source};
    if (!define.empty())
        command.insert(command.begin() + 1, "-D" + define);
    support::Finished preprocessed = support::run(command);
    EXPECT_TRUE(preprocessed.status.clean_exit()) << preprocessed.err;
    std::vector<std::string> found;
    std::regex direction(R"(precision\s+\w+\s+\w+\s*;|#extension[^\n]*)");
    for (std::sregex_iterator at(preprocessed.out.begin(), preprocessed.out.end(), direction), end; at != end; ++at)
        found.push_back(std::regex_replace(at->str(), std::regex(R"(\s+)"), " "));
    return found;
}

// A host may define what the conditions test, so every branch must survive in the compact text.
TEST(ConditionalBlocks, LeaveWhatTheReadableTextLeavesForEveryDefinitionAHostGives)
{
    const Family& family = *std::find_if(std::begin(families), std::end(families), [](const Family& f) {
        return std::string_view(f.name).starts_with("conditional blocks");
    });
    support::TempDir directory("conditionals");
    std::filesystem::path readable = directory.path() / "readable.frag", compact = directory.path() / "compact.frag";
    support::write_file_atomically(readable, family.fragment);
    support::write_file_atomically(compact, shader_packer::compact(family.fragment));
    for (std::string define : {"", "HOST_LOW=2", "HOST_LOW=1", "HOST_FAST"})
    {
        std::vector<std::string> expected = preprocessed_directions(readable, define);
        EXPECT_FALSE(expected.empty()) << define;
        EXPECT_EQ(preprocessed_directions(compact, define), expected) << define;
    }
}
