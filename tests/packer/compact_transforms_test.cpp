// Compact form, one transform at a time: comments, whitespace, parentheses and braces. The
// inputs name only kept names (black, red, ground, main) and built-ins, so every expected text
// follows from the transform alone, whatever letters the renamer would pick.
#include "shader_packer.h"

#include <gtest/gtest.h>

using shader_packer::compact;

namespace {

// A fragment stage whose main body is the given statements, over three kept stage-level names.
std::string with_body(const std::string& statements)
{
    return "#version 450\nfloat red;\nfloat ground;\nbool black;\nvoid main()\n{\n" + statements + "\n}\n";
}

std::string compact_body(const std::string& statements)
{
    std::string text = compact(with_body(statements));
    std::string prefix = "#version 450\nfloat red;float ground;bool black;void main(){";
    EXPECT_TRUE(text.starts_with(prefix)) << text;
    EXPECT_TRUE(text.ends_with("}")) << text;
    return text.substr(prefix.size(), text.size() - prefix.size() - 1);
}

} // namespace

TEST(CompactTransforms, DropsCommentsAndWhitespaceButKeepsTheDirectiveLine)
{
    std::string source = "#version   450 // the stage's version\n"
                         "/* a block comment\n   over two lines */\n"
                         "void main ( void )\n"
                         "{\n"
                         "    gl_FragDepth = /* inline */ 0.5 ;  // trailing\n"
                         "}\n";
    EXPECT_EQ(compact(source), "#version 450\nvoid main(){gl_FragDepth=.5;}");
}

TEST(CompactTransforms, KeepsASpaceOnlyWhereTokensWouldMerge)
{
    EXPECT_EQ(compact_body("red = ground - -red;"), "red=ground- -red;");
    EXPECT_EQ(compact_body("red = ground + +red;"), "red=ground+ +red;");
    EXPECT_EQ(compact_body("red = ground - --red;"), "red=ground- --red;");
    EXPECT_EQ(compact_body("red = red-- - ground;"), "red=red---ground;") << "read back as -- then -";
    EXPECT_EQ(compact("#version 450\nfloat red ( ) { return - 1.0 ; }"),
              "#version 450\nfloat red(){return-1.;}");
    EXPECT_EQ(compact_body("if (black) red = 1.0; else if (!black) red = 2.0;"),
              "if(black)red=1.;else if(!black)red=2.;");
}

TEST(CompactTransforms, DropsParenthesesThatPrecedenceMakesRedundant)
{
    EXPECT_EQ(compact_body("red = (ground * red) + (red / ground);"), "red=ground*red+red/ground;");
    EXPECT_EQ(compact_body("red = (ground - red) - red;"), "red=ground-red-red;");
    EXPECT_EQ(compact_body("red = ((ground));"), "red=ground;");
    EXPECT_EQ(compact_body("red = (-ground) * red;"), "red=-ground*red;");
    EXPECT_EQ(compact_body("red = (vec2(ground)).x;"), "red=vec2(ground).x;");
    EXPECT_EQ(compact_body("black = (ground < red) && (red != 1.0) || (black);"),
              "black=ground<red&&red!=1.||black;");
    EXPECT_EQ(compact_body("red = (black) ? (ground) : (red);"), "red=black?ground:red;");
    EXPECT_EQ(compact_body("red = black ? (black ? 1.0 : 2.0) : 3.0;"), "red=black?black?1.:2.:3.;");
    EXPECT_EQ(compact_body("red = black ? 1.0 : (black ? 2.0 : 3.0);"), "red=black?1.:black?2.:3.;");
    EXPECT_EQ(compact_body("red = ground = (red);"), "red=ground=red;");
}

// Float arithmetic is not associative and the tree is never regrouped: a right operand at the
// same level keeps its parentheses even where the operator would allow regrouping in algebra.
TEST(CompactTransforms, KeepsParenthesesThatGroupDifferently)
{
    EXPECT_EQ(compact_body("red = ground - (red - ground);"), "red=ground-(red-ground);");
    EXPECT_EQ(compact_body("red = ground / (red * ground);"), "red=ground/(red*ground);");
    EXPECT_EQ(compact_body("red = ground + (red + ground);"), "red=ground+(red+ground);");
    EXPECT_EQ(compact_body("red = ground * (red * ground);"), "red=ground*(red*ground);");
    EXPECT_EQ(compact_body("red = (ground + red) * ground;"), "red=(ground+red)*ground;");
    EXPECT_EQ(compact_body("red = -(ground * red);"), "red=-(ground*red);");
    EXPECT_EQ(compact_body("red = vec2(ground + red).x + (red + ground).x;"),
              "red=vec2(ground+red).x+(red+ground).x;");
    EXPECT_EQ(compact_body("black = black && (black || black);"), "black=black&&(black||black);");
    EXPECT_EQ(compact_body("red = (black ? ground : red) * 2.0;"), "red=(black?ground:red)*2.;");
    EXPECT_EQ(compact_body("red = (black ? 1.0 : 2.0) > 0.0 ? 3.0 : 4.0;"), "red=(black?1.:2.)>0.?3.:4.;");
    EXPECT_EQ(compact_body("red = (red = ground) + 1.0;"), "red=(red=ground)+1.;");
    EXPECT_EQ(compact_body("red = max((red, ground), 1.0);"), "red=max((red,ground),1.);");
}

TEST(CompactTransforms, DropsBracesAroundASingleStatement)
{
    EXPECT_EQ(compact_body("if (black) { red = 1.0; }"), "if(black)red=1.;");
    EXPECT_EQ(compact_body("while (black) { { red = 1.0; } }"), "while(black)red=1.;");
    EXPECT_EQ(compact_body("for (red = 0.0; red < 2.0; red++) { ground += 1.0; }"),
              "for(red=0.;red<2.;red++)ground+=1.;");
    EXPECT_EQ(compact_body("if (black) { red = 1.0; } else { red = 2.0; }"), "if(black)red=1.;else red=2.;");
    EXPECT_EQ(compact_body("if (black) { } else { red = 2.0; }"), "if(black);else red=2.;");
}

TEST(CompactTransforms, KeepsBracesThatScopeOrGroup)
{
    EXPECT_EQ(compact_body("if (black) { red = 1.0; ground = 2.0; }"), "if(black){red=1.;ground=2.;}");
    EXPECT_EQ(compact_body("if (black) { float red = 1.0; }"), "if(black){float red=1.;}");
    EXPECT_EQ(compact_body("red = 1.0; { ground = 2.0; { red = 3.0; } }"), "red=1.;ground=2.;red=3.;");
}

// An "else" binds to the nearest open "if": braces that close an inner if must stay.
TEST(CompactTransforms, KeepsBracesAgainstTheDanglingElse)
{
    EXPECT_EQ(compact_body("if (black) { if (!black) red = 1.0; } else red = 2.0;"),
              "if(black){if(!black)red=1.;}else red=2.;");
    EXPECT_EQ(compact_body("if (black) { while (black) if (!black) red = 1.0; } else red = 2.0;"),
              "if(black){while(black)if(!black)red=1.;}else red=2.;");
    EXPECT_EQ(compact_body("if (black) { if (!black) red = 1.0; else red = 2.0; } else red = 3.0;"),
              "if(black)if(!black)red=1.;else red=2.;else red=3.;");
    EXPECT_EQ(compact_body("if (black) { if (!black) red = 1.0; else if (black) red = 2.0; } else red = 3.0;"),
              "if(black){if(!black)red=1.;else if(black)red=2.;}else red=3.;");
}

TEST(CompactTransforms, WritesNumberLiteralsInTheirShortestForm)
{
    EXPECT_EQ(compact_body("red = 0.0 + 0.05 * 100.0 - 0.0001 + 2.50f + 3;"), "red=0.+.05*1e2-1e-4+2.5+3;");
}
