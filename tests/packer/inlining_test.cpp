// Locals written where they are read: where the packer does it, and where it must not because a
// value could change.
#include "glsl_parser.h"
#include "glsl_syntax.h"
#include "shader_packer.h"

#include "file_io.h"

#include <gtest/gtest.h>

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
        shader_packer::compact(source, {.kept_names = {"ground", "black", "red"}, .name_tuning_rounds = 0});
    EXPECT_TRUE(text.starts_with(stage_prefix)) << text;
    return text.substr(std::min(text.size(), stage_prefix.size()));
}

std::string compact_main(const std::string& statements)
{
    return compact("", statements);
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

// Recounting after a pass must agree with the parser where nothing moved: the renamer ranks
// names by these counts.
TEST(SingleUseLocals, RecountingAnUntouchedProgramChangesNoCount)
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
