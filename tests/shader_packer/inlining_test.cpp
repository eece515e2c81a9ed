// Locals, functions and arguments that every call passes alike written where they are used: where
// the packer does it, where it must not because a value could change, and the same floats drawn
// on Mesa either way.
#include "glsl_parser.h"
#include "glsl_syntax.h"
#include "shader_packer.h"

#include "file_io.h"
#include "offscreen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>

namespace {

constexpr std::string_view stage_prefix = "#version 450\nuniform float ground;uniform vec3 black;out vec3 red;";

// The compact main of a fragment stage whose own names are the kept uniforms ground and black and
// the kept output red, besides those that functions and statements declare; with functions
// given, the text from their definitions on.
std::string compact(const std::string& functions, const std::string& statements)
{
    std::string source = "#version 450\nuniform float ground;\nuniform vec3 black;\nout vec3 red;\n" + functions +
                         "\nvoid main()\n{\n" + statements + "\n}\n";
    std::string text =
        shader_packer::compact(source, {.kept_names = {"ground", "black", "red"}});
    EXPECT_TRUE(text.starts_with(stage_prefix)) << text;
    return text.substr(std::min(text.size(), stage_prefix.size()));
}

std::string compact_main(const std::string& statements)
{
    return compact("", statements);
}

// How many return statements text holds: one function written in place takes its own along.
std::ptrdiff_t returns_in(const std::string& text)
{
    std::regex word(R"(\breturn\b)");
    return std::distance(std::sregex_iterator(text.begin(), text.end(), word), std::sregex_iterator());
}

// Whether text is pattern, where (\w) stands for a renamed name and \1 and so on for the same one again.
bool matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

} // namespace

TEST(SingleUseLocals, AreWrittenWhereTheyAreRead)
{
    EXPECT_EQ(compact_main("float s = sin(ground); red = vec3(s * 3.0);"), "void main(){red=vec3(sin(ground)*3);}");
    EXPECT_EQ(compact_main("float s = ground + 1.0; red = vec3(s * 3.0);"), "void main(){red=vec3((ground+1)*3);}")
        << "parenthesized as its place needs";
    EXPECT_EQ(compact_main("float s = ground * 2.0; if (s > 1.0) red = black;"),
              "void main(){if(ground*2>1)red=black;}")
        << "an if's condition runs once";
    EXPECT_EQ(compact_main("float s = ground; float t = s * 2.0; red = vec3(t);"), "void main(){red=vec3(ground*2);}")
        << "one after the other";
    EXPECT_TRUE(matches(compact_main("vec2 p = black.xy; p = fract(p * 2.0); red = p.xyx + p.yxy;"),
                        R"(void main\(\)\{vec2 (\w)=fract\(black\.xy\*2\);red=\1\.xyx\+\1\.yxy;\})"))
        << "a first value read once by the assignment that follows";
}

// Each of these reads a value that the move could change or that is not the one written there.
TEST(SingleUseLocals, StayWhereTheValueCouldDiffer)
{
    auto stays = [](const std::string& functions, const std::string& statements) {
        std::string text = compact(functions, statements);
        EXPECT_TRUE(std::regex_search(text, std::regex(R"(void main\(\)\{float \w=)"))) << statements << "\n" << text;
    };
    stays("", "float s = sin(ground); red = vec3(s, s, 1.0);");
    stays("float level = 1.0;", "float s = level; level = 3.0; red = vec3(s, level, 1.0);");
    stays("float level = 1.0;\nvoid bump() { level += 1.0; }", "float s = level; bump(); red = vec3(s, level, 1.0);");
    stays("", "float s = ground * 2.0; for (int i = 0; i < 3; i++) red += vec3(s);");
    stays("", "float s = ground * 2.0; while (red.x < s) red += black;");
    stays("", "float s = ground * 2.0; if (ground > 0.0) red = vec3(s);");
    stays("", "float s = 1; red = vec3(s / 2);");
    stays("", "float s = dFdx(ground); if (ground > 1.0) return; red = vec3(s);");
    stays("", "float s = ground; s += 1.0; red = vec3(s);");
    EXPECT_TRUE(matches(compact_main("float s = ground * 2.0; s = s * s; red = vec3(s);"),
                        R"(void main\(\)\{float (\w)=ground\*2;\1=\1\*\1;red=vec3\(\1\);\})"))
        << "read twice by the assignment that follows";
    stays("float level = 1.0;\nvoid set_two(out float v) { v = 2.0; }",
          "float s = level; set_two(level); red = vec3(s, level, 1.0);");
}

TEST(InlinedFunctions, ExpressionBodiesAtEveryCall)
{
    EXPECT_EQ(compact("float square(float v) { return v * v; }", "red = vec3(square(ground), square(black.x), 0.0);"),
              "void main(){red=vec3(ground*ground,black.x*black.x,0);}");
    EXPECT_EQ(compact("float first(float a, float b) { return a; }", "red = vec3(first(ground, sin(ground)));"),
              "void main(){red=vec3(ground);}")
        << "a pure argument that the body never reads goes";
    EXPECT_EQ(compact("float sum(float a, float b) { return a + b; }", "red = vec3(sum(ground, 1.0) * 2.0);"),
              "void main(){red=vec3((ground+1)*2);}");
}

TEST(InlinedFunctions, ExpressionBodiesStayWhereTheValueOrTheLengthWouldChange)
{
    auto stays = [](const std::string& functions, const std::string& statements) {
        std::string text = compact(functions, statements);
        EXPECT_EQ(returns_in(text), returns_in(functions)) << statements << "\n" << text;
    };
    stays("float square(float v) { return v * v; }", "red = vec3(square(ground + 1.0));");
    stays("float half_of(float v) { return v / 2; }", "red = vec3(half_of(3));");
    stays("float level = 1.0;\nfloat bump(float v) { return level += v; }", "red = vec3(bump(ground));");
    stays("float wave(float v) { return sin(v) * cos(v) + sin(v * 2.0) * cos(v * 3.0); }",
          "red = vec3(wave(ground), wave(black.x), wave(black.y)) + wave(black.z);");
}

TEST(InlinedFunctions, BodiesCalledOnceGoBeforeTheirStatement)
{
    std::string sum_to = "float sum_to(float n)\n{\n    float total = 0.0;\n"
                         "    for (float i = 1.0; i <= n; i += 1.0)\n        total += i;\n    return total;\n}\n";
    EXPECT_TRUE(
        matches(compact(sum_to, "red = vec3(sum_to(ground) * 2.0);"),
                R"(void main\(\)\{float (\w)=0;for\(float (\w)=1;\2<=ground;\2\+=1\)\1\+=\2;red=vec3\(\1\*2\);\})"));
    EXPECT_TRUE(matches(compact(sum_to, "red = vec3(sum_to(ground + 1.0) * 2.0);"),
                        R"(void main\(\)\{float (\w)=ground\+1,(\w)=0;for\(float (\w)=1;\3<=\1;\3\+=1\)\2\+=\3;)"
                        R"(red=vec3\(\2\*2\);\})"))
        << "an argument that is not a plain value initializes its parameter";
    EXPECT_EQ(compact("float twice_plus(float v) { v = v * 2.0; return v + 1.0; }", "red = vec3(twice_plus(ground));"),
              "void main(){red=vec3(ground*2+1);}")
        << "a parameter assigned in the body is a local";
    EXPECT_TRUE(matches(compact("float first_over(float limit)\n{\n    float x = 1.0;\n    while (x < 100.0)\n    {\n"
                                "        if (x > limit)\n            return x * 10.0;\n        x *= 2.0;\n    }\n"
                                "    return x;\n}\n",
                                "red = vec3(first_over(ground));"),
                        R"(void main\(\)\{float (\w)=1;while\(\1<1e2\)\{if\(\1>ground\)\{\1=\1\*10;break;\}\1\*=2;\})"
                        R"(red=vec3\(\1\);\})"))
        << "a return in the loop that ends the body";
    EXPECT_TRUE(matches(compact(sum_to, "float a = ground * 3.0, b = sum_to(a); red = vec3(a, b, b);"),
                        R"(void main\(\)\{float (\w)=ground\*3,(\w)=0;for\(float (\w)=1;\3<=\1;\3\+=1\)\2\+=\3;)"
                        R"(float (\w)=\2;red=vec3\(\1,\4,\4\);\})"))
        << "a declaration is cut before the declarator that calls";
}

TEST(InlinedFunctions, BodiesStayWhereWhatRunsWouldChange)
{
    std::string sum_to = "float sum_to(float n) { float total = 0.0; for (float i = 1.0; i <= n; i += 1.0) total += i; "
                         "return total; }\n";
    auto stays = [](const std::string& functions, const std::string& statements) {
        std::string text = compact(functions, statements);
        EXPECT_EQ(returns_in(text), returns_in(functions)) << statements << "\n" << text;
    };
    stays(sum_to, "red = vec3(sum_to(ground), sum_to(black.x), 0.0);");
    stays(sum_to, "if (ground > 0.0 && sum_to(ground) > 3.0) red = black;");
    stays(sum_to, "red = vec3(ground > 0.0 ? sum_to(ground) : 0.0);");
    stays(sum_to, "float x = 0.0; while (sum_to(x) < 10.0) x += 1.0; red = vec3(x);");
    stays(sum_to + "float level = 1.0;\nfloat bump() { level += 1.0; return level; }",
          "red = vec3(bump() + sum_to(level));");
    stays("float level = 1.0;\nfloat keep(float n) { level = n; float r = n * 2.0; return r; }",
          "red = vec3(keep(ground));");
    stays("float split(float v, out float rest) { rest = fract(v); float whole = v - rest; return whole; }",
          "float r; red = vec3(split(ground, r), r, 1.0);");
    stays("float inner(float n)\n{\n    float r = 0.0;\n    for (int i = 0; i < 3; i++)\n        for (int j = 0; j < "
          "3; j++)\n"
          "            if (r > n)\n                return r;\n            else\n                r += 1.0;\n    return "
          "r;\n}\n",
          "red = vec3(inner(ground));");
    stays("float early(float n) { if (n > 1.0) return 1.0; float r = n * 2.0; return r; }",
          "red = vec3(early(ground));");
}

TEST(SharedArguments, AreWrittenInPlaceOfTheirParameter)
{
    std::string blend = "float blend(float a, float w) { float m = a * w; return m * m + w; }\n";
    EXPECT_TRUE(matches(compact(blend, "red = vec3(blend(ground, 0.5), blend(black.x, 0.5), 0.0);"),
                        R"(float (\w)\(float (\w)\)\{float (\w)=\2\*\.5;return \3\*\3\+\.5;\})"
                        R"(void main\(\)\{red=vec3\(\1\(ground\),\1\(black\.x\),0\);\})"));
    EXPECT_TRUE(matches(compact("vec3 light;\nfloat lit(float a, vec3 l) { float m = a * l.x; return m * m + l.y; }\n",
                                "light = black; red = vec3(lit(ground, light), lit(black.x, light), 0.0);"),
                        R"(vec3 (\w);float (\w)\(float (\w)\)\{float (\w)=\3\*\1\.x;return \4\*\4\+\1\.y;\})"
                        R"(void main\(\)\{\1=black;red=vec3\(\2\(ground\),\2\(black\.x\),0\);\})"))
        << "a stage-level variable that holds at the call what the body reads";
}

TEST(SharedArguments, StayWhereTheBodyCouldReadAnotherValue)
{
    auto stays = [](const std::string& functions, const std::string& statements) {
        std::string text = compact(functions, statements);
        EXPECT_TRUE(std::regex_search(text, std::regex(R"(float \w\(float \w,(float|vec3) \w\))"))) << text;
    };
    std::string blend = "float blend(float a, float w) { float m = a * w; return m * m + w; }\n";
    stays(blend, "red = vec3(blend(ground, 0.5), blend(black.x, 0.25), 0.0);");
    stays("float part(float a, float w) { float m = w / 2; return m * a + m; }\n",
          "red = vec3(part(ground, 3), part(black.x, 3), 0.0);");
    stays("float blend(float a, float w) { w = w * 2.0; float m = a * w; return m * m + w; }\n",
          "red = vec3(blend(ground, 0.5), blend(black.x, 0.5), 0.0);");
    stays("float blend(float a, float w) { float m = a * w; return m * m + w * w * w * w; }\n",
          "red = vec3(blend(ground, 1.2345), blend(black.x, 1.2345), 0.0);");
    std::string light = "vec3 light;\n";
    std::string lit = "float lit(float a, vec3 l) { float m = a * l.x; return m * m + l.y; }\n";
    stays(light + "float lit(float a, vec3 l) { light.x += a; float m = a * l.x; return m * m + l.y; }\n",
          "light = black; red = vec3(lit(ground, light), lit(black.x, light), 0.0);");
    stays(light + lit + "float bump() { light.x += 1.0; return light.x; }\n",
          "light = black; red = vec3(lit(ground, light), lit(bump(), light), 0.0);");
    stays(lit + light, "light = black; red = vec3(lit(ground, light), lit(black.x, light), 0.0);");
}

// Recounting after a pass must agree with the parser where nothing moved: the renamer ranks
// names by these counts.
TEST(InlinedFunctions, RecountingAnUntouchedProgramChangesNoCount)
{
    shader_packer::glsl::Program program = shader_packer::glsl::parse(support::read_text(FRAGMENT_SOURCE_PATH));
    std::map<const shader_packer::glsl::Symbol*, int> parsed;
    for (const shader_packer::glsl::Symbol& symbol : program.symbols)
        parsed[&symbol] = symbol.uses;
    std::vector<shader_packer::glsl::FunctionScope> scopes = program.function_scopes;
    shader_packer::glsl::recount_symbols(program);
    for (const shader_packer::glsl::Symbol& symbol : program.symbols)
        EXPECT_EQ(symbol.uses, parsed[&symbol]) << symbol.name;
    ASSERT_EQ(program.function_scopes.size(), scopes.size());
    for (std::size_t i = 0; i < scopes.size(); ++i)
    {
        EXPECT_EQ(program.function_scopes[i].globals, scopes[i].globals) << "function " << i;
        EXPECT_EQ(program.function_scopes[i].locals, scopes[i].locals) << "function " << i;
    }
}

namespace {

// Every shape the passes write in place, over values that vary from pixel to pixel.
constexpr const char* varied_stage = R"(#version 450
out vec3 colour;
float square(float v) { return v * v; }
float first_over(float limit)
{
    float x = 1.0;
    while (x < 100.0)
    {
        if (x > limit)
            return x * 0.37;
        x *= 1.5;
    }
    return x;
}
float sum_to(float n)
{
    float total = 0.0;
    for (float i = 1.0; i <= n; i += 1.0)
        total += sin(i);
    return total;
}
float twice_plus(float v)
{
    v = v * 2.0 + 0.1;
    return v + 1.0;
}
vec2 q;
float lit(float a, vec2 l, float w)
{
    float m = a * l.x + w;
    return m * m + l.y * w;
}
void main()
{
    vec2 p = gl_FragCoord.xy / 16.0;
    q = p.yx * 0.3;
    float s = sin(p.x) * cos(p.y);
    float a = p.x * 3.0, b = sum_to(a);
    float c = square(s) + first_over(p.y * 7.0);
    colour = vec3(c + lit(s, q, 0.37), b + lit(c, q, 0.37), twice_plus(s));
}
)";

constexpr const char* corner_vertex = "#version 450\nconst vec2 u = vec2(1.0, -1.0);\n"
                                      "const vec4 c[4] = vec4[](u.yyxx, u.xyxx, u.yxxx, u.xxxx);\n"
                                      "void main() { gl_Position = c[gl_VertexID]; }\n";

std::vector<float> drawn(const std::string& fragment)
{
    offscreen::Result<GLuint> program = offscreen::link_checked(corner_vertex, fragment.c_str());
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
    {
        ADD_FAILURE() << failure->message << "\n" << fragment;
        return {};
    }
    support::Image<float> image = offscreen::render<float>(std::get<GLuint>(program), {64, 64}, {0, 0, 64, 64});
    glDeleteProgram(std::get<GLuint>(program));
    return image.rgb;
}

} // namespace

TEST(InlinedFunctions, DrawTheSameOnMesa)
{
    std::string inlined = shader_packer::compact(varied_stage, {.kept_names = {"colour"}});
    std::string apart = shader_packer::compact(varied_stage, {.kept_names = {"colour"}, .inline_code = false});
    EXPECT_TRUE(std::regex_search(inlined, std::regex(R"(float \w\(float \w\)\{)"))) << "lit keeps one parameter:\n"
                                                                                     << inlined;
    EXPECT_EQ(returns_in(inlined), 1) << "every other function written in place:\n" << inlined;
    EXPECT_NE(apart.find("return"), std::string::npos) << apart;
    offscreen::Context context;
    std::optional<offscreen::Failure> no_context = context.open();
    ASSERT_FALSE(no_context) << no_context->message;
    std::vector<float> a = drawn(inlined), b = drawn(apart);
    ASSERT_EQ(a.size(), 64u * 64u * 3u);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << inlined << "\n" << apart;
    EXPECT_NE(std::count(a.begin(), a.end(), a[0]), static_cast<long>(a.size())) << "the values vary";
}
