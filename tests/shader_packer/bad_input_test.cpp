// Inputs the packer refuses: each one fails with a message that names the line at fault.
#include "shader_packer.h"

#include <gtest/gtest.h>

using support::LineError;

namespace {

struct Refusal
{
    int line;
    std::string message;
};

Refusal refusal_of(const std::string& source)
{
    try
    {
        shader_packer::compact(source);
    }
    catch (const LineError& error)
    {
        return {error.line(), error.what()};
    }
    ADD_FAILURE() << "accepted:\n" << source;
    return {};
}

void expect_refusal(const std::string& source, int line, const std::string& words)
{
    Refusal refusal = refusal_of(source);
    EXPECT_EQ(refusal.line, line) << source;
    EXPECT_NE(refusal.message.find(words), std::string::npos) << refusal.message;
}

const std::string header = "#version 450\nout float result;\n";

} // namespace

TEST(BadInput, UnterminatedCommentNamesTheLineWhereItOpens)
{
    expect_refusal(header + "void main() {}\n/* never\nclosed\n", 4, "unterminated comment");
}

TEST(BadInput, CharactersOutsideGlslAreRefused)
{
    for (std::string character : {"\"", "\\", "@", "$", "'", "`", "\xC3\xA9"})
        expect_refusal(header + "void main()\n{\n    result = 1.0" + character + ";\n}\n", 5, "not allowed");
    expect_refusal(header + "void main() { result = 1.0; }\x01\n", 3, "control character");
}

TEST(BadInput, CharactersInsideCommentsAreFine)
{
    EXPECT_NO_THROW(shader_packer::compact(header + "// \"quoted\" \\ @ $ \xC3\xA9\nvoid main() { result = 1.0; }"));
}

// The output keeps its name; the others are named in declaration order: the last of 53
// stage-level names, on line 55, finds no letter left.
TEST(BadInput, MoreNamesInOneScopeThanLettersIsRefused)
{
    std::string source = header;
    for (int i = 0; i < 53; ++i)
        source += "float name_" + std::to_string(i) + ";\n";
    source += "void main() { result = 1.0; }\n";
    expect_refusal(source, 55, "letters");
}

// The 52 letters are enough for 52 names.
TEST(BadInput, FiftyTwoNamesInOneScopeFit)
{
    std::string source = header;
    for (int i = 0; i < 52; ++i)
        source += "float name_" + std::to_string(i) + ";\n";
    source += "void main() { result = 1.0; }\n";
    EXPECT_NO_THROW(shader_packer::compact(source));
}

TEST(BadInput, DeclaringABuiltInOrKeywordNameIsRefused)
{
    expect_refusal(header + "float dot(vec2 a) { return a.x; }\n", 3, "built-in");
    expect_refusal(header + "void main()\n{\n    float length = 1.0;\n}\n", 5, "built-in");
    expect_refusal(header + "float gl_Depth;\n", 3, "built-in");
    expect_refusal(header + "float input;\n", 3, "keyword");
    expect_refusal(header + "void main(float texture) {}\n", 3, "built-in");
}

TEST(BadInput, WhatTheParserCannotReadIsNamedWithItsLine)
{
    expect_refusal(header + "void main()\n{\n    result = 1.0\n}\n", 6, "expected ';'");
    expect_refusal(header + "void main() { result = (1.0; }\n", 3, "expected ')'");
    expect_refusal(header + "void main() { result = ; }\n", 3, "expected an expression, found ';'");
    expect_refusal(header + "#define TWICE(x) (x * 2.0)\nfloat f = TWICE(1.0, 2.0);\n", 4,
                   "macro 'TWICE' takes 1 argument, not 2");
    expect_refusal(header + "#define NAME(a) #a\n", 3, "'#' in macros is not supported");
    expect_refusal(header + "#define JOIN(a, b) a ## b\nfloat f = JOIN(1, +);\n", 4, "makes '1+', which is no token");
    expect_refusal(header + "#define ONE 1.0\n#define ONE 2.0\n", 4, "macro 'ONE' is defined again");
    expect_refusal(header + "#define GL_ONE 1.0\n", 3, "macro name 'GL_ONE' is reserved");
    expect_refusal(header + "\n#define HALF 0.5x\n", 4, "malformed number");
    expect_refusal(header + "#undef\n", 3, "'#undef' needs a macro name");
    expect_refusal(header + "void main() {\n#ifdef FAST\n{\n#endif\n}\n}\n", 6, "conditional blocks across a brace");
    expect_refusal(header + "float x;\nvoid main() {\n#ifdef FAST\nfloat x = 1.0;\n#endif\nresult = x;\n}\n", 8,
                   "'x' is declared in only some branches of a conditional block and outside it too");
    expect_refusal(header + "#else\n", 3, "'#else' without an '#if'");
    expect_refusal(header + "#ifndef GL_ES\n#if 1\n#endif\n", 3, "a conditional block without its '#endif'");
    expect_refusal(header + "#define FAST 1\n#if FAST / (FAST - 1)\n#endif\n", 4,
                   "the condition cannot be evaluated: a division by zero");
    expect_refusal(header + "#if 1 ? 1 : 0\n#endif\n", 3, "the condition cannot be evaluated: '?' where");
    expect_refusal(header + "#define ONE 1.0\n#ifdef GL_ES\n#undef ONE\n#endif\n", 5,
                   "macros defined both inside and outside conditional blocks ('ONE')");
    expect_refusal(header + "#ifdef GL_ES\n#define REAL float\n#endif\nvoid main() { REAL x; }\n", 6,
                   "a macro that a conditional block defines ('REAL') may stand only for an expression");
    expect_refusal(header + "thing value;\n", 3, "expected a type, found 'thing'");
    expect_refusal(header + "void main() { result = 1.0;\n", 4, "expected '}'");
    expect_refusal(header + "void main() { result = 1e; }\n", 3, "exponent");
    expect_refusal(header + "void main() { result = 1.0x; }\n", 3, "malformed number");
    expect_refusal(header + "void main() { float result = 1.0; float result = 2.0; }\n", 3, "already declared");
}

TEST(BadInput, ConstructsNotPackedAreRefusedByName)
{
    expect_refusal(header + "#ifdef GL_ES\nstruct hit { float d; };\n#else\nstruct hit { int n; };\n#endif\n", 6,
                   "a struct declared in several branches of a conditional block ('hit')");
    expect_refusal(header + "const struct light { float k; };\n", 3, "qualifiers before a struct declaration without");
    expect_refusal(header + "void main() { result = 1.0 +\n#pragma optimize(off)\n2.0; }\n", 4,
                   "directives inside a declaration or statement are not supported");
    expect_refusal(header + "void main() { result = float(__LINE__); }\n", 3, "'__LINE__' is not supported");
    expect_refusal(header + "#if 2 > 1\n#error \"too new\"\n#endif\n", 4,
                   "the shader stops itself: #error \"too new\"");
    expect_refusal(header + "invariant other;\n", 3, "qualifiers given to 'other', which names no variable");
    expect_refusal(header + "void main() { if (true) { case 1: } }\n", 3,
                   "'case' labels outside the braces of a switch");
}
