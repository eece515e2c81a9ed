// The real picture shaders in compact form: they are much smaller, only kept names and GLSL's own
// words are longer than one letter, and with nothing kept Mesa draws the same from them.
#include "shader_packer.h"

#include "file_io.h"
#include "process.h"
#include "record_file.h"
#include "source_lines_record.h"

#include "fragment_text.h"
#include "offscreen.h"
#include "vertex_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <regex>
#include <set>

namespace {

std::string read_file(const char* path)
{
    return support::read_text(path);
}

// GLSL keywords, types, built-in functions and variables that a shader of this kind may use,
// and the names the compact form keeps.
const std::set<std::string> allowed_long_words = {
    "version",     "struct",       "const",       "in",          "out",          "inout",     "uniform", "void",
    "bool",        "int",          "uint",        "float",       "double",       "vec2",      "vec3",    "vec4",
    "ivec2",       "ivec3",        "ivec4",       "bvec2",       "bvec3",        "bvec4",     "mat2",    "mat3",
    "mat4",        "true",         "false",       "if",          "else",         "for",       "while",   "do",
    "return",      "break",        "continue",    "discard",     "radians",      "degrees",   "sin",     "cos",
    "tan",         "asin",         "acos",        "atan",        "pow",          "exp",       "log",     "exp2",
    "log2",        "sqrt",         "inversesqrt", "abs",         "sign",         "floor",     "trunc",   "round",
    "ceil",        "fract",        "mod",         "min",         "max",          "clamp",     "mix",     "step",
    "smoothstep",  "length",       "distance",    "dot",         "cross",        "normalize", "reflect", "refract",
    "faceforward", "gl_FragCoord", "gl_Position", "gl_VertexID", "gl_FragDepth", "material",  "col",     "hit",
    "black",       "red",          "ground",      "main",
};

// Words of text longer than one letter that are neither allowed nor a field or swizzle (after
// a '.') nor part of a number (after a digit: the e of 1e-4).
std::set<std::string> unexpected_long_words(const std::string& text)
{
    std::set<std::string> words;
    std::regex word("[A-Za-z_][A-Za-z0-9_]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), word); it != std::sregex_iterator(); ++it)
    {
        char before = it->position() > 0 ? text[it->position() - 1] : ' ';
        bool is_field_or_number = before == '.' || (before >= '0' && before <= '9');
        if (it->length() > 1 && !is_field_or_number && !allowed_long_words.contains(it->str()))
            words.insert(it->str());
    }
    return words;
}

// The compact texts are those the build packed into its headers; a build that carries the
// readable ones has none to test.
class PictureShaders : public testing::Test
{
protected:
    void SetUp() override
    {
        if (READABLE_SHADERS)
            GTEST_SKIP() << "this build carries the readable shader texts";
    }

    const std::string fragment_source = read_file(FRAGMENT_SOURCE_PATH);
    const std::string vertex_source = read_file(VERTEX_SOURCE_PATH);
    const std::string fragment = fragment_text;
    const std::string vertex = vertex_text;
};

// Floats drawn by the program of the two texts, over a region that holds the ball, the stem, the
// base with its mirror bounces, the slab, a disc and the ground.
offscreen::Result<support::Image<float>> drawn(const std::string& vertex, const std::string& fragment)
{
    offscreen::Result<GLuint> program = offscreen::link_checked(vertex.c_str(), fragment.c_str());
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
        return *failure;
    auto image = offscreen::render<float>(std::get<GLuint>(program), {1920, 1080}, {700, 380, 400, 560});
    glDeleteProgram(std::get<GLuint>(program));
    return image;
}

} // namespace

// Renaming the record and its fields, and the integer spelling of min's arguments left out,
// change no value the stage computes.
TEST_F(PictureShaders, NothingKeptDrawsTheSameOnMesa)
{
    std::string nothing_kept = shader_packer::compact(fragment_source, {});
    EXPECT_EQ(nothing_kept.find("material"), std::string::npos) << nothing_kept;
    offscreen::Context context;
    std::optional<offscreen::Failure> no_context = context.open();
    ASSERT_FALSE(no_context) << no_context->message;
    auto kept = drawn(vertex, fragment);
    auto renamed = drawn(vertex, nothing_kept);
    ASSERT_TRUE(std::holds_alternative<support::Image<float>>(kept)) << std::get<offscreen::Failure>(kept).message;
    ASSERT_TRUE(std::holds_alternative<support::Image<float>>(renamed))
        << std::get<offscreen::Failure>(renamed).message;
    const std::vector<float>& a = std::get<support::Image<float>>(kept).rgb;
    const std::vector<float>& b = std::get<support::Image<float>>(renamed).rgb;
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

// Comments, indentation and long names make up well over half of the readable fragment text.
TEST_F(PictureShaders, CompactFragmentTextIsLessThanHalfTheReadable)
{
    EXPECT_LT(fragment.size() * 2, fragment_source.size());
    EXPECT_LT(vertex.size(), vertex_source.size());
}

TEST_F(PictureShaders, OnlyKeptNamesAndGlslWordsAreLongerThanOneLetter)
{
    EXPECT_EQ(unexpected_long_words(fragment), std::set<std::string>{}) << fragment;
    EXPECT_EQ(unexpected_long_words(vertex), std::set<std::string>{}) << vertex;
    EXPECT_FALSE(unexpected_long_words(fragment_source).empty()) << "the check must see long names";
}

TEST_F(PictureShaders, CompactFragmentTextHasOneLineBreakAfterTheVersion)
{
    EXPECT_TRUE(fragment.starts_with("#version 450\n"));
    EXPECT_EQ(std::count(fragment.begin(), fragment.end(), '\n'), 1);
    EXPECT_EQ(fragment.find("  "), std::string::npos);
}

// pack_shader notes a source line for every character of each compact text, and each word of
// the text longer than a letter (a GLSL word, a kept name, a field) stands on the line noted for
// it: an inlined function's where the function is written. The one word a pass writes is the
// break of a return that inlining turned into one, on the return's line.
TEST_F(PictureShaders, EachWordOfTheCompactTextsStandsOnItsNotedSourceLine)
{
    const std::pair<const char*, std::string> stages[] = {{VERTEX_LINES_PATH, vertex}, {FRAGMENT_LINES_PATH, fragment}};
    std::regex word("[A-Za-z_][A-Za-z0-9_]+");
    for (const auto& [lines_path, text] : stages)
    {
        support::SourceLinesRecord record = support::parse_source_lines_record(read_file(lines_path));
        std::vector<std::string> source_lines = support::lines_of(support::read_text(record.source));
        ASSERT_EQ(record.lines.size(), text.size()) << lines_path;
        EXPECT_EQ(record.text, support::fingerprint(text));
        EXPECT_TRUE(std::all_of(record.lines.begin(), record.lines.end(),
                                [&](int line) { return line >= 1 && std::size_t(line) <= source_lines.size(); }));
        std::size_t checked = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), word); it != std::sregex_iterator(); ++it)
        {
            std::size_t at = std::size_t(it->position());
            if (at > 0 && std::isdigit(static_cast<unsigned char>(text[at - 1])))
                continue;
            int line = record.lines[at];
            ASSERT_TRUE(std::all_of(record.lines.begin() + std::ptrdiff_t(at),
                                    record.lines.begin() + std::ptrdiff_t(at + std::size_t(it->length())),
                                    [&](int other) { return other == line; }))
                << it->str() << " is split over lines";
            std::string written = it->str() == "break" ? "(break|return)" : it->str();
            EXPECT_TRUE(std::regex_search(source_lines[std::size_t(line - 1)], std::regex("\\b" + written + "\\b")))
                << it->str() << " at " << at << " is noted for line " << line << ": "
                << source_lines[std::size_t(line - 1)];
            ++checked;
        }
        EXPECT_GT(checked, 10u) << lines_path;
    }
}
