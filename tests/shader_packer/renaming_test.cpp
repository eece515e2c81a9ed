// One-letter names: which names are renamed, which may share a letter, and which letters the
// most used names get.
#include "glsl_parser.h"
#include "glsl_printer.h"
#include "glsl_renamer.h"
#include "shader_packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

// The compact form with the letters given by frequency of use, before any tuning to the
// compressor: which names may share a letter shows in which letters they get. The functions and
// locals whose names are at stake stay functions and locals; outputs are renamed like the rest.
std::string compact(const std::string& source, std::set<std::string> kept_names = {})
{
    return shader_packer::compact(source, {.kept_names = kept_names, .rename_interface = true, .inline_code = false});
}

// The captures of pattern over the whole of text; empty when it does not match.
std::smatch match(const std::string& text, const std::string& pattern)
{
    std::smatch captures;
    std::regex_match(text, captures, std::regex(pattern));
    return captures;
}

} // namespace

TEST(Renaming, KeepsTheKeptNamesBuiltInsAndFieldsAndRenamesTheRest)
{
    std::string text = compact(R"(#version 450
struct material { float d; vec3 col; bool hit; };
const vec3 black = vec3(-0.015);
const vec3 red = vec3(0.4, 0.0, 0.0);
const vec3 ground = vec3(0.03);
out vec3 frag_color;
material paint(vec3 surface_point) { return material(surface_point.x, red, false); }
void main()
{
    material m = paint(gl_FragCoord.xyz);
    frag_color = m.hit ? black : m.col + ground * m.d;
}
)",
                               {"material", "material.d", "material.col", "material.hit", "black", "red", "ground"});
    std::smatch names = match(
        text, R"(#version 450
struct material\{float d;vec3 col;bool hit;\};vec3 black=vec3\(-\.015\),)"
              R"(red=vec3\(\.4,0,0\),ground=vec3\(\.03\);)"
              R"(out vec3 (\w);material (\w)\(vec3 (\w)\)\{return material\(\3\.x,red,false\);\})"
              R"(void main\(\)\{material (\w)=\2\(gl_FragCoord\.xyz\);\1=\4\.hit\?black:\4\.col\+ground\*\4\.d;\})");
    ASSERT_FALSE(names.empty()) << text;
    EXPECT_NE(names[1], names[2]) << "a variable and a function never share a letter";
}

// With placeholders for the renamed names the text reads "#version 450\nfloat;vec2;void main(){=+*;}":
// i, o and v occur three times each, more than any other letter, and tie in alphabetical order,
// so the name used four times takes i and the one used twice takes o.
TEST(Renaming, GivesTheMostUsedNamesTheMostFrequentLetters)
{
    EXPECT_EQ(compact("#version 450\nfloat first;\nvec2 second;\nvoid main() { second = first + second * second; }"),
              "#version 450\nfloat o;vec2 i;void main(){i=o+i*i;}");
}

// float and vec3 parameters accept no common argument, so those two functions may overload one
// letter; an int parameter accepts what a float one does after conversion, so sharing would
// turn twice(3) into a call of the int function.
TEST(Renaming, SharesALetterBetweenFunctionsOnlyWhereOverloadingKeepsEveryCall)
{
    std::string text = compact(R"(#version 450
float twice(float v) { return v + v; }
vec3 twice_vector(vec3 v) { return v + v; }
float half_of(int v) { return float(v) / 2.0; }
out float result;
void main() { result = twice(1.0) + twice_vector(vec3(2.0)).x + half_of(3) + twice(3); }
)");
    std::smatch names = match(text, R"(#version 450
float (\w)\(float (\w)\)\{return \2\+\2;\}vec3 (\w)\(vec3 (\w)\)\{return \4\+\4;\})"
                                    R"(float (\w)\(int (\w)\)\{return float\(\6\)/2;\}out float (\w);)"
                                    R"(void main\(\)\{\7=\1\(1\.\)\+\3\(vec3\(2\)\)\.x\+\5\(3\)\+\1\(3\);\})");
    ASSERT_FALSE(names.empty()) << text;
    EXPECT_EQ(names[1], names[3]);
    EXPECT_NE(names[1], names[5]);
    for (int function : {1, 3, 5})
        EXPECT_NE(names[7], names[function]);
}

// All names here are used twice, so they are named in declaration order, each taking the first
// free letter: helper the first, uses_helper's locals must avoid it (they would hide the
// function they call), while other, which does not call helper, takes it for its parameter.
TEST(Renaming, ReusesLettersForLocalsExceptThoseOfGlobalsTheFunctionUses)
{
    std::string text = compact(R"(#version 450
float helper(float x) { return x * 2.0; }
float uses_helper(float value) { float temp = helper(value); return temp; }
float other(float value) { float temp = value + 1.0; return temp; }
out float result;
void main() { result = uses_helper(1.0) + other(2.0); }
)");
    std::smatch names = match(text, R"(#version 450
float (\w)\(float (\w)\)\{return \2\*2;\})"
                                    R"(float (\w)\(float (\w)\)\{float (\w)=\1\(\4\);return \5;\})"
                                    R"(float (\w)\(float (\w)\)\{float (\w)=\7\+1;return \8;\})"
                                    R"(out float (\w);void main\(\)\{\9=\3\(1\.\)\+\6\(2\.\);\})");
    ASSERT_FALSE(names.empty()) << text;
    EXPECT_NE(names[4], names[1]);
    EXPECT_NE(names[5], names[1]);
    EXPECT_NE(names[4], names[5]);
    EXPECT_EQ(names[7], names[1]);
    EXPECT_NE(names[7], names[8]);
}

// A local's name is in scope only after its initializer: the level on the right is the global.
TEST(Renaming, KeepsALocalThatHidesAGlobalApartFromIt)
{
    std::string text = compact(R"(#version 450
float level = gl_FragCoord.x;
out float result;
void main() { float level = level * 2.0; result = level; }
)");
    std::smatch names = match(text, R"(#version 450
float (\w)=gl_FragCoord\.x;out float (\w);void main\(\)\{float (\w)=\1\*2;\2=\3;\})");
    ASSERT_FALSE(names.empty()) << text;
    EXPECT_NE(names[1], names[3]);
    EXPECT_NE(names[2], names[3]);
}

TEST(Renaming, DropsParameterNamesFromPrototypes)
{
    std::string text = compact("#version 450\nfloat later(float value);\nvoid main() { gl_FragDepth = later(1.0); }\n"
                               "float later(float value) { return value; }");
    std::smatch names = match(text, R"(#version 450
float (\w)\(float\);void main\(\)\{gl_FragDepth=\1\(1\.\);\}float \1\(float (\w)\)\{return \2;\})");
    EXPECT_FALSE(names.empty()) << text;
}

namespace {

// The text with its names given from letters by frequency of use, then tuned to a size that
// counts every character but 'z', so each name moves to z wherever no conflicting name has it.
std::string tuned_towards_z(const std::string& source, int rounds)
{
    shader_packer::glsl::Program program = shader_packer::glsl::parse(source);
    shader_packer::glsl::assign_short_names(program, "ab");
    auto characters_but_z = [](const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return c != 'z'; }));
    };
    shader_packer::glsl::tune_short_names(program, "abcz", characters_but_z, rounds);
    return shader_packer::glsl::print_compact(program);
}

} // namespace

// first takes z; second, which may not share it, moves on from b to c, since a tie moves a name
// to a later letter, never to an earlier one such as a.
TEST(Renaming, TuningMovesEachNameToALetterThatShrinksTheTextAmongThoseItMayTake)
{
    EXPECT_EQ(tuned_towards_z("#version 450\nfloat first;\nfloat second;\nvoid main() { second = first; }", 4),
              "#version 450\nfloat z;float c;void main(){c=z;}");
    EXPECT_EQ(tuned_towards_z("#version 450\nfloat first;\nfloat second;\nvoid main() { second = first; }", 0),
              "#version 450\nfloat a;float b;void main(){b=a;}")
        << "no round, no change";
}

// Functions of one signature stay apart; parameters of different functions may meet on z, and
// a parameter may share its own function's letter.
TEST(Renaming, TuningKeepsNamesThatMustDifferApart)
{
    EXPECT_EQ(tuned_towards_z("#version 450\nfloat one(float x) { return x; }\nfloat two(float y) { return y; }\n"
                              "void main() { gl_FragDepth = one(1.0) + two(2.0); }",
                              4),
              "#version 450\nfloat z(float z){return z;}float c(float z){return z;}"
              "void main(){gl_FragDepth=z(1.)+c(2.);}");
}

// Tuning from a record starts at its letters and keeps them unless it finds a smaller text: under
// a measure that sees no difference, where ties alone would move names on to later letters, the
// record's letters stay; under one that counts every character but 'z', it finds a smaller text.
TEST(Renaming, TuningFromARecordKeepsItUnlessItFindsASmallerText)
{
    const std::string source = "#version 450\nfloat first;\nfloat second;\nvoid main() { second = first; }";
    shader_packer::NamesRecord record;
    record.letters = {{"first", 'q'}, {"second", 'p'}};
    auto tuned = [&](const shader_packer::SizeMeasure& measure) {
        return shader_packer::compact_with_names(
            source,
            {.inline_code = false, .compressed_size = measure, .recorded_names = record, .tune_recorded_names = true});
    };
    shader_packer::Compacted level = tuned([](const std::string&) { return std::size_t{7}; });
    EXPECT_EQ(level.text, "#version 450\nfloat q,p;void main(){p=q;}");
    EXPECT_EQ(level.names.letters, record.letters);
    EXPECT_EQ(level.stale, "") << "a tuning reports no stale record";
    auto characters_but_z = [](const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return c != 'z'; }));
    };
    shader_packer::Compacted smaller = tuned(characters_but_z);
    EXPECT_LT(smaller.names.size, characters_but_z(level.text));
}

// Nothing kept, a struct's name and its members take letters too, each struct's members apart
// from each other, the struct's name apart from every other name: it is a type name wherever it
// stands. Swizzles stay.
TEST(Renaming, RenamesStructsAndTheirMembersUnlessKept)
{
    std::string text = compact(R"(#version 450
struct light { vec3 colour; float power; };
struct beam { float power; };
out vec3 result;
light lamp(float power) { return light(vec3(power), power); }
void main()
{
    light l = lamp(2.0);
    beam b = beam(l.power);
    result = l.colour.xyz * b.power;
}
)");
    std::smatch names =
        match(text, R"(#version 450
struct (\w)\{vec3 (\w);float (\w);\};struct (\w)\{float (\w);\};out vec3 (\w);)"
                    R"(\1 (\w)\(float (\w)\)\{return \1\(vec3\(\8\),\8\);\})"
                    R"(void main\(\)\{\1 (\w)=\7\(2\.\);\4 (\w)=\4\(\9\.\3\);\6=\9\.\2\.xyz\*\10\.\5;\})");
    ASSERT_FALSE(names.empty()) << text;
    EXPECT_NE(names[2], names[3]) << "members of one struct";
    for (int structure : {1, 4})
        for (int other : {1, 4, 6, 7, 8, 9, 10})
            if (other != structure)
                EXPECT_NE(names[structure], names[other]) << structure << " and " << other;
}

// pick(2) may be either struct as far as the packer tells (overloads of one length, two result
// types), so every member named value keeps its name; scale, taken from a variable, does not.
TEST(Renaming, KeepsTheMembersOfAFieldWhoseStructCannotBeTold)
{
    std::string text = compact(R"(#version 450
struct first { float value; float scale; };
struct second { float value; };
out float result;
first pick(float x) { return first(x, 2.0); }
second pick(int x) { return second(float(x)); }
void main()
{
    first f = pick(1.0);
    result = f.scale * pick(2).value;
}
)");
    std::smatch names = match(text, R"(#version 450
struct (\w)\{float value;float (\w);\};struct (\w)\{float value;\};out float (\w);.*)"
                                    R"(\1 (\w)=\w\(1\.\);\4=\5\.\2\*\w\(2\)\.value;\})");
    EXPECT_FALSE(names.empty()) << text;
}
