// Shaders that each use one family of GLSL constructs: their compact texts pass glslang and,
// where the family draws in a GL 4.5 core context, draw the same bits as the readable ones, for
// every set of macros a host defines.
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
    // The macros that each host defines, which pick the branches of the conditional blocks.
    std::vector<std::string> hosts = {""};
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
    {"redeclared built-ins, array constructors and arrays of arrays", shader_probe::readable_vertex(),
     "#version 450\nlayout(depth_greater) out float gl_FragDepth;\nout vec4 colour;\nconst float w[3] = float[](0.25, "
     "0.5, 0.25);\nvoid main() {\nfloat v[3] = float[3](gl_FragCoord.x * 2.0, 1.0, 2.0);\nfloat grid[3][2];\ngrid[2] = "
     "float[2](v[0], 4.0);\ngl_FragDepth = 0.5;\ncolour = vec4(v[0] * w[0], v[1] * w[1] + grid[2][0], v.length() + "
     "grid[1].length(), 1.0);\n}\n"},
    {"switch with fall-through, and break in a switch and in a loop", shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nfloat pick(int k, float x) {\nfloat r = 0.0;\nswitch (k) {\ncase 0:\nr = x * "
     "2.0;\ncase 1:\ncase 2:\nr += 1.0;\nbreak;\ncase 3: {\nfloat t = x * x;\nr = t + 0.5;\nbreak;\n}\ndefault:\n"
     "for (int i = 0; i < 4; i++) {\nif (i == k - 4)\nbreak;\nr += 0.25;\n}\n}\nreturn r;\n}\nvoid main() {\nint k "
     "= int(gl_FragCoord.x) % 7;\nfloat s = 0.0;\nfor (int j = 0; j < 3; j++) {\nswitch (j + k) {\ncase 2:\n"
     "continue;\ncase 5:\ns -= 1.0;\nbreak;\ndefault:\ns += pick(j + k, gl_FragCoord.y / 8.0);\n}\ns += 0.125;\n}"
     "\ncolour = vec4(s, pick(k, 0.5), 0.0, 1.0);\n}\n"},
    {"structs declared in functions and with variables", shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nstruct light { vec3 colour; float power; } sun = light(vec3(1.0, 0.5, 0.25), "
     "2.0), moon;\nconst struct tint { vec3 c; } warm = tint(vec3(0.5));\nfloat taps[int(warm.c.x * 4.0)];\nfloat "
     "glow(float x) {\nstruct hit { float d; vec2 at[2]; };\nhit h;\nh.d = x * 0.5;\nh.at[1] = "
     "vec2(x, h.d);\nreturn h.at[1].y + h.d;\n}\nfloat fade(float x) {\nstruct hit { int n; float d; } h = hit(2, "
     "x);\nreturn "
     "h.d * float(h.n);\n}\nvoid main() {\nstruct probe { float v; int n; } first, second = "
     "probe(0.25, 3);\nfirst.v = gl_FragCoord.x / 8.0;\nfirst.n = int(gl_FragCoord.y);\nmoon.power = "
     "float(second.n);\n{\nstruct inner { float w; } i = inner(first.v);\nfirst.v += i.w;\n}\ncolour = "
     "vec4(sun.colour * sun.power * glow(fade(first.v)) + warm.c * float(taps.length()), float(first.n + second.n) / "
     "moon.power + second.v);\n}\n"},
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
    {"conditional blocks around declarations, functions and statements, for each host's definitions",
     shader_probe::readable_vertex(),
     "#version 450\nout vec4 colour;\nfloat spread = 0.5;\n#if defined(HIGH) && defined(MEDIUM)\n#error \"one of "
     "them\"\n#endif\n#ifdef HIGH\nconst float k = 4.0;\nfloat shade(float x) { return x * 4.0; }\n#elif "
     "defined(MEDIUM) && MEDIUM > 1\nconst float k = 3.0;\nfloat shade(float x) { return x - 3.0; }\n#else\nconst "
     "float "
     "k = 2.0;\nfloat shade(float x) { return x + 2.0; }\n#endif\nfloat twice(float x) {\nfloat y = x * 2.0;\n#ifdef "
     "WIDE\ny += 0.5;\n#endif\nreturn y;\n}\nvoid main() "
     "{\n#ifdef WIDE\nfloat w = 2.0;\n#else\nfloat w = 1.0;\n#endif\nfloat total = twice(gl_FragCoord.x * w);\nswitch "
     "(int(gl_FragCoord.y) % 3) {\ncase 0:\n#ifndef HIGH\ntotal *= 2.0;\nbreak;\n#endif\ncase 1:\ntotal += "
     "shade(w);\nbreak;\n}\n#ifdef STEPS\nfloat spread = 0.25;\ntotal /= float(STEPS) * spread;\n#else\ntotal *= "
     "spread;\n#endif\ncolour = vec4(total, w, k, 1.0);\n}\n",
     {"", "#define HIGH\n", "#define MEDIUM 2\n#define WIDE\n", "#define STEPS 4\n#define HIGH\n"}},
    {"function-like macros, nested, pasting and rescanned, conditions they decide, and a host's macro",
     shader_probe::readable_vertex(),
     "#version 450\n#define SQUARE(x) \\\n((x) * (x))\n#define LIMIT 3\n#define SHIFTED(v, by) (SQUARE(v) + "
     "(by))\n#define "
     "APPLY(f, v) f(v)\n#define QUARTER() 0.25\n#define JOIN(a, b) a ## b\nout vec4 colour;\nfloat level = 0.25, base "
     "= 3.0;\nfloat tilt(float t) "
     "{ return t * base; }\n#ifndef base\n#define base 2.0\n#endif\n#if LIMIT * 2 > 5 && "
     "!defined(PLAIN)\nfloat gain(float x) { return SHIFTED(x, level); }\n#else\nfloat gain(float x) { return x; "
     "}\n#endif\n#ifndef SCALE\n#define SCALE(x) ((x) * 0.5)\n#endif\n#define tilt(x) tilt((x) + 1.0)\nvoid main() "
     "{\nfloat total = 0.0;\nfor (int i "
     "= 0; i < LIMIT; i++)\n#if LIMIT < 2\n#error \"too few\"\n#endif\ntotal += APPLY(gain, gl_FragCoord.x / 8.0 + "
     "float(i)) * QUARTER();\n#if LIMIT == 3\ntotal "
     "= SCALE(total);\n#endif\ncolour = vec4(total, SQUARE(JOIN(lev, el) + 1.0), tilt(base) / 8.0, 1.0);\n}\n",
     {"", "#define PLAIN\n", "#define SCALE(x) ((x) * 3.0)\n"}},
    // Mesa's preprocessor expands the operands of ## first, which the C standard and glslang do not.
    {"token pasting of a macro's name, which stays a name", "",
     "#version 450\n#define LIMIT 3\n#define JOIN(a, b) a ## b\nout vec4 colour;\nfloat LIMITED = 0.5;\nvoid main() { "
     "colour = vec4(JOIN(LIMIT, ED), float(LIMIT), 0.0, 1.0); }\n"},
    {"explicitly sized types and their literals", "",
     "#version 450\n#extension GL_EXT_shader_explicit_arithmetic_types : enable\nout vec4 colour;\nfloat16_t "
     "half_of(float16_t x) { return x * 0.5hf; }\nvoid main() {\nint64_t big = 1L << 40;\nuint64_t ubig = "
     "0xFFFFFFFFFFUL;\nint16_t small = 32767S;\nuint16_t usmall = 7US;\nf16vec2 h = f16vec2(1.5hf, 2.0HF);\ncolour = "
     "vec4(float(half_of(h.x)), float(big >> 38), float(small) + float(usmall), float(ubig & 0xFFul));\n}\n"},
    {"unnamed parameters, and qualifiers given to variables declared before", "",
     "#version 450\nout vec4 colour;\ninvariant colour;\nfloat twice(float, float b) { float sum = b * 2.0; precise "
     "sum; return sum; }\nvoid main() { colour = vec4(twice(1.0, gl_FragCoord.x)); }\n"},
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

// The text as a host that defines macros gives it to the driver: its definitions after "#version".
std::string with_definitions(const std::string& text, const std::string& definitions)
{
    std::size_t after_version = text.find('\n') + 1;
    return text.substr(0, after_version) + definitions + text.substr(after_version);
}

TEST_F(ConstructFamilies, CompactTextsPassGlslangAndDrawTheSameBits)
{
    support::TempDir directory("families");
    for (const Family& family : families)
    {
        std::string compact = shader_packer::compact(family.fragment);
        for (const std::string& host : family.hosts)
        {
            std::string readable_text = with_definitions(family.fragment, host);
            std::string compact_text = with_definitions(compact, host);
            std::filesystem::path source = directory.path() / "family.frag";
            support::write_file_atomically(source, readable_text);
            std::ostringstream messages;
            EXPECT_TRUE(
                shader_packer::check_compact_text(source, compact_text, directory.path() / "refused.frag", messages))
                << family.name << ", " << host << ": " << messages.str() << compact_text;
            if (family.vertex.empty())
                continue;
            auto readable = drawn(family.vertex, readable_text), packed = drawn(family.vertex, compact_text);
            ASSERT_TRUE(readable && packed) << family.name;
            EXPECT_EQ(0, std::memcmp(readable->rgb.data(), packed->rgb.data(), readable->rgb.size() * sizeof(float)))
                << family.name << ", " << host << ":\n"
                << compact_text;
        }
    }
}

// What glslang's preprocessor leaves of a text for the macros a host defines: its precision
// statements and extension lines.
std::vector<std::string> preprocessed_directions(const std::filesystem::path& source, const std::string& define)
{
    std::vector<std::string> command = {support::program_on_path("glslangValidator", std::getenv("PATH")).string(),
                                        "-E", source};
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

// A condition on the shader's own macros alone is decided when packing: the branch kept must be
// the one glslang's preprocessor keeps, whatever the operators and their order.
TEST(ConditionalBlocks, ConditionsOnTheShadersOwnMacrosAreDecidedAsGlslangDecidesThem)
{
    support::TempDir directory("decided");
    std::filesystem::path readable = directory.path() / "readable.frag", compact = directory.path() / "compact.frag";
    for (std::string condition :
         {"(A << 2) + 1 == 13", "(A ^ 1) == 2", "-A / 2 == -1", "A % -2 == 1", "0x10 == 16 && 010 == 8", "~A == -4",
          "1 - 1 - 1 == -1", "2 * 3 % 4 == 2", "(A & 2 | 4) == 6", "A > 2 && A < 4", "defined A && !defined(B)",
          "NEGATED(A) + 3", "A >= 3 == 1", "1 << 31 < 0", "A == 3 || B", "2 << 1 < 3", "-8 >> 1 == -4"})
    {
        std::string text = "#version 450\n#define A 3\n#define NEGATED(x) (-(x))\n#if " + condition +
                           "\nprecision highp float;\n#else\nprecision lowp float;\n#endif\nvoid main() {}\n";
        support::write_file_atomically(readable, text);
        support::write_file_atomically(compact, shader_packer::compact(text));
        EXPECT_EQ(preprocessed_directions(compact, ""), preprocessed_directions(readable, "")) << condition;
    }
}
