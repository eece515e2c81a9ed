// Compact form, one transform at a time: comments, whitespace, parentheses and braces, literals,
// declarations and constants. The inputs name only the names they keep (black, red, ground, main)
// and built-ins, so every expected text follows from the transform alone, whatever letters the
// renamer would pick.
#include "shader_packer.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

std::string compact(const std::string& source, shader_packer::CompactOptions options = {})
{
    options.kept_names.insert({"black", "red", "ground", "main"});
    return shader_packer::compact(source, options);
}

// A fragment stage whose main body is the given statements, over three kept stage-level names
// declared apart (neighbours of one type would be joined).
std::string with_body(const std::string& statements)
{
    return "#version 450\ndouble red;\nbool black;\ndouble ground;\nvoid main()\n{\n" + statements + "\n}\n";
}

std::string compact_body(const std::string& statements)
{
    std::string text = compact(with_body(statements));
    std::string prefix = "#version 450\ndouble red;bool black;double ground;void main(){";
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
    EXPECT_EQ(compact("#version 450\ndouble red ( ) { return - 1.0 ; }"), "#version 450\ndouble red(){return-1.;}");
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
    EXPECT_EQ(compact_body("black = (ground < red) && (red != 1.0) || (black);"), "black=ground<red&&red!=1.||black;");
    EXPECT_EQ(compact_body("red = (black) ? (ground) : (red);"), "red=black?ground:red;");
    EXPECT_EQ(compact_body("red = black ? (black ? 1.0 : 2.0) : 3.0;"), "red=black?black?1.:2.:3.;");
    EXPECT_EQ(compact_body("red = black ? 1.0 : (black ? 2.0 : 3.0);"), "red=black?1.:black?2.:3.;");
    EXPECT_EQ(compact_body("red = ground = (red);"), "red=ground=red;");
}

// Each pair of neighbouring binary levels, every operator of each, both ways: the lower under
// the higher keeps its parentheses, the higher under the lower loses them.
TEST(CompactTransforms, ParenthesesFollowEachPairOfNeighbouringLevels)
{
    const std::vector<std::vector<std::string>> lowest_to_highest = {
        {"||"},       {"^^"},     {"&&"},         {"|"}, {"^"}, {"&"}, {"==", "!="}, {"<", ">", "<=", ">="},
        {"<<", ">>"}, {"+", "-"}, {"*", "/", "%"}};
    for (std::size_t level = 0; level + 1 < lowest_to_highest.size(); ++level)
        for (const std::string& low : lowest_to_highest[level])
            for (const std::string& high : lowest_to_highest[level + 1])
            {
                EXPECT_EQ(compact_body("red = (red " + low + " ground) " + high + " red;"),
                          "red=(red" + low + "ground)" + high + "red;");
                EXPECT_EQ(compact_body("red = red " + low + " (ground " + high + " red);"),
                          "red=red" + low + "ground" + high + "red;");
            }
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
    EXPECT_EQ(compact_body("red = vec2(ground + red).x + (red + ground).x;"), "red=vec2(ground+red).x+(red+ground).x;");
    EXPECT_EQ(compact_body("black = black && (black || black);"), "black=black&&(black||black);");
    EXPECT_EQ(compact_body("red = (black ? ground : red) * 2.0;"), "red=(black?ground:red)*2.;");
    EXPECT_EQ(compact_body("red = (black ? 1.0 : 2.0) > 0.0 ? 3.0 : 4.0;"), "red=(black?1.:2.)>0?3.:4.;");
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
    EXPECT_EQ(compact_body("if (black) { double red = 1.0; }"), "if(black){double red=1.;}");
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
    EXPECT_EQ(compact_body("red = max(0.0, 0.05) + max(100.0, 0.0001) + 2.50f + 3;"),
              "red=max(0.,.05)+max(1e2,1e-4)+2.5+3;");
}

// "float a=1.,b=a;" declares a before b's initializer runs, just as two statements do.
TEST(CompactTransforms, JoinsNeighbouringDeclarationsOfOneType)
{
    EXPECT_EQ(compact("#version 450\ndouble red = 1.0;\ndouble ground = red;\nvec3 black;\nvoid main() {}"),
              "#version 450\ndouble red=1.,ground=red;vec3 black;void main(){}");
    EXPECT_EQ(compact("#version 450\nfloat red[2];\nfloat ground[3];\nvoid main() {}"),
              "#version 450\nfloat red[2],ground[3];void main(){}");
    EXPECT_EQ(compact_body("double red = 1.0; double ground = red * 2.0; vec2 black; float main;"),
              "double red=1.,ground=red*2.;vec2 black;float main;");
    EXPECT_EQ(compact_body("if (black) { double red = 1.0; double ground = red; gl_FragDepth = ground; }"),
              "if(black){double red=1.,ground=red;gl_FragDepth=ground;}");
    EXPECT_EQ(compact_body("if (black) ; else { double red = 1.0; double ground = red; gl_FragDepth = ground; }"),
              "if(black);else{double red=1.,ground=red;gl_FragDepth=ground;}");
}

TEST(CompactTransforms, KeepsDeclarationsApartWhereTheirTypesOrPlacesDiffer)
{
    EXPECT_EQ(compact_body("double red = 1.0; gl_FragDepth = red; double ground = 2.0;"),
              "double red=1.;gl_FragDepth=red;double ground=2.;");
    EXPECT_EQ(compact_body("double red = 1.0; for (double ground = 0.0; ground < red; ground++) red = 2.0;"),
              "double red=1.;for(double ground=0.;ground<red;ground++)red=2.;");
    EXPECT_EQ(compact("#version 450\nconst int red = 1;\nint ground = 2;\nvoid main() {}"),
              "#version 450\nconst int red=1;int ground=2;void main(){}");
    EXPECT_EQ(compact("#version 450\nfloat[2] red;\nfloat[3] ground;\nvoid main() {}"),
              "#version 450\nfloat[2]red;float[3]ground;void main(){}");
    EXPECT_EQ(compact("#version 450\nlayout(location = 0) out vec4 red;\nlayout(location = 1) out vec4 ground;\n"
                      "void main() {}"),
              "#version 450\nlayout(location=0)out vec4 red;layout(location=1)out vec4 ground;void main(){}");
}

// A float constructor converts an integer argument exactly (all integers up to 2^24 are
// floats); elsewhere an integer would change overload resolution or the arithmetic.
TEST(CompactTransforms, WritesIntegralFloatConstructorArgumentsAsIntegers)
{
    EXPECT_EQ(compact_body("red = vec3(0.0, -6.0, 0.5).x + vec2(1920.0, 1080.0).y + float(2.0);"),
              "red=vec3(0,-6,.5).x+vec2(1920,1080).y+float(2);");
    EXPECT_EQ(compact_body("gl_FragColor = mat4(1.0) * vec4(10.0);"), "gl_FragColor=mat4(1)*vec4(10);");
    EXPECT_EQ(compact_body("red = vec3(-0.0).x;"), "red=vec3(-0.).x;") << "-0 would be +0";
    EXPECT_EQ(compact_body("red = vec2(100.0, 1e20).x + vec2(16777217.0).x + vec2(2.5e1).y;"),
              "red=vec2(1e2,1e20).x+vec2(16777217.).x+vec2(25).y;")
        << "an integer no shorter, out of exact range or unchanged";
    EXPECT_EQ(compact_body("red = max(ground, 0.0) + vec2(2.0 * red).x + float[](1.0, 2.0)[0];"),
              "red=max(ground,0.)+vec2(2.*red).x+float[](1.,2.)[0];");
    EXPECT_EQ(compact_body("red = float(ivec2(1.0).x) + float(dvec2(1.0lf).x);"),
              "red=float(ivec2(1.).x)+float(dvec2(1.lf).x);");
}

// A literal value is the same whether the compiler folds it or the stage computes it, so such a
// constant needs no "const" unless a constant expression names it.
TEST(CompactTransforms, DropsConstFromStageConstantsSpeltInLiterals)
{
    EXPECT_EQ(compact("#version 450\nconst vec3 red = vec3(0.4, 0.0, 0.0);\nconst float ground = -1.0;\n"
                      "void main() {}"),
              "#version 450\nvec3 red=vec3(.4,0,0);float ground=-1;void main(){}");
    EXPECT_EQ(compact("#version 450\nconst float red = 2.0 / 3.0;\nconst int ground = 3;\nvoid main() {}"),
              "#version 450\nconst float red=2./3;const int ground=3;void main(){}")
        << "computed, or not a float type";
    EXPECT_EQ(compact("#version 450\nconst float red = 3.0;\nfloat ground[int(red)];\nvoid main() {}"),
              "#version 450\nconst float red=3;float ground[int(red)];void main(){}");
    EXPECT_EQ(compact("#version 450\nconst float red = 1.0;\nconst float ground = red * 2.0;\nvoid main() {}"),
              "#version 450\nconst float red=1,ground=red*2;void main(){}");
    EXPECT_EQ(compact("#version 450\nconst float red = 1.0;\nvoid main() { const float ground = red; }"),
              "#version 450\nconst float red=1;void main(){const float ground=red;}");
}

// An int converts to float exactly (integers up to 2^24 are floats) where the language converts
// implicitly: beside a float operand of arithmetic, which may be a vector, or a comparison, and as
// the value given to a float. Elsewhere an int would pick another overload, make int arithmetic
// or fail to compile.
TEST(CompactTransforms, WritesIntegralFloatsAsIntegersWhereTheyConvertToFloat)
{
    std::string stage = "#version 450\nout vec3 red;\nout float ground;\n"
                        "struct material { float d; vec3 col; };\n";
    auto compact_main = [&](const std::string& statements) {
        std::string text = compact(
            stage + "void main() {\n" + statements + "\n}\n",
            {.kept_names = {"material", "material.d", "material.col"}, .integer_argument_functions = {"min", "mix"}});
        std::string prefix =
            "#version 450\nout vec3 red;out float ground;struct material{float d;vec3 col;};void main(){";
        EXPECT_TRUE(text.starts_with(prefix)) << text;
        return text.substr(prefix.size(), text.size() - prefix.size() - 1);
    };
    EXPECT_EQ(compact_main("ground = 2.0 * ground - 1.0; red = red * 2.0 + 1.0 / red.yxz;"),
              "ground=2*ground-1;red=red*2+1/red.yxz;");
    EXPECT_EQ(compact_main("if (ground < 0.0 && red.x >= 80.0) ground += 1.0;"), "if(ground<0&&red.x>=80)ground+=1;");
    EXPECT_TRUE(
        std::regex_match(compact_main("float level = 0.0, weights[2]; material m; m.d = 3.0; ground = m.col.z * -2.0;"),
                         std::regex(R"(float \w=0,\w\[2\];material (\w);\1\.d=3;ground=\1\.col\.z\*-2;)")));
    EXPECT_EQ(compact_main("ground = max(ground, 0.0) + length(red) * 4.0 + clamp(ground, 0.0, 1.0) * 5.0;"),
              "ground=max(ground,0.)+length(red)*4+clamp(ground,0.,1.)*5;")
        << "built-in arguments stay, the results are floats";
    EXPECT_EQ(compact_main("ground = min(ground, 0.0) + min(red, 1.0).x + min(0.0, 1.0) + float(min(2, 3.0));"),
              "ground=min(ground,0)+min(red,1).x+min(0.,1.)+float(min(2,3.));")
        << "min beside a float argument; literals alone, or beside an int, pick their own overload";
    EXPECT_EQ(compact_main("ground = mix(ground, 0.0, 1.0) + mix(ground, 0.5, 1.0) + min(1.0 / -0.5, 2.0);"),
              "ground=mix(ground,0,1)+mix(ground,.5,1.)+min(1/-.5,2.);")
        << "NVIDIA's compiler finds a float literal beside an int literal ambiguous";
    EXPECT_EQ(compact_main("red = vec3(1) * 2.0; ground = float(3) * 2.0;"), "red=vec3(1)*2;ground=float(3)*2;");
    EXPECT_EQ(
        compact_main("red = gl_FragCoord.xyz * 2.0 - 1.0; ground = gl_FragCoord.w * 2.0 + float(gl_FrontFacing);"),
        "red=gl_FragCoord.xyz*2-1;ground=gl_FragCoord.w*2+float(gl_FrontFacing);")
        << "built-in variables have their types";
    EXPECT_EQ(compact_main("red = red + 1.0; red = vec3(2.0); red *= 2.0;"), "red=red+1;red=vec3(2);red*=2.;")
        << "a vector takes no scalar in an assignment";
    EXPECT_EQ(compact_main("red.x = 2.0 * 3.0; ground = (ground < 1.0 ? 2.0 : 3.0) * 4.0;"),
              "red.x=2.*3;ground=(ground<1?2.:3.)*4;")
        << "one of two literals stays a float, and so the operation";
    EXPECT_TRUE(std::regex_match(
        compact_main(
            "int count = 2; ground = float(count * 2) + ground * -0.0 + ground * 1.5 + ground * 1e20 + count;"),
        std::regex(R"(int (\w)=2;ground=float\(\1\*2\)\+ground\*-0\.\+ground\*1\.5\+ground\*1e20\+\1;)")))
        << "int arithmetic, -0, fractions and floats beyond 2^24 stay";
    EXPECT_TRUE(std::regex_match(compact_main("for (float level = 0.0; level < 2.0; level += 1.0) ground += level;"),
                                 std::regex(R"(for\(float (\w)=0;\1<2;\1\+=1\)ground\+=\1;)")))
        << "a variable declared in a for loop's init is a float in its condition";
    EXPECT_EQ(compact_main("ground = float(ground * 2.0lf);"), "ground=float(ground*2.lf);")
        << "a double literal makes double arithmetic";
}

TEST(CompactTransforms, WritesIntegralFloatResultsOfFloatFunctionsAsIntegers)
{
    EXPECT_EQ(compact("#version 450\nfloat red() { return 1.0; }\nvec2 ground() { return vec2(1.0) * 2.0; }\n"
                      "vec2 black() { return red() * ground() + 2.0; }\nvoid main() {}"),
              "#version 450\nfloat red(){return 1;}vec2 ground(){return vec2(1)*2;}"
              "vec2 black(){return red()*ground()+2;}void main(){}");
}

// Only the built-ins named take integer arguments: by default none, as an int could pick
// another overload of a built-in that has one.
TEST(CompactTransforms, WritesIntegerArgumentsOnlyOfTheBuiltInsNamed)
{
    std::string source = "#version 450\nout float red;\nvoid main() { red = min(red, 0.0) + max(red, 1.0); }";
    EXPECT_EQ(compact(source), "#version 450\nout float red;void main(){red=min(red,0.)+max(red,1.);}");
    EXPECT_EQ(compact(source, {.integer_argument_functions = {"max"}}),
              "#version 450\nout float red;void main(){red=min(red,0.)+max(red,1);}");
}

// A const of a built-in type whose initializer is spelt in literals of that very type has the
// same value written out wherever it is named, so its name may give way to its value; the
// other transforms then treat the value as if it had been written there.
TEST(CompactTransforms, WritesLiteralConstantsAtTheirUses)
{
    EXPECT_EQ(
        compact("#version 450\nconst float budget = 80.0;\nconst vec2 up = vec2(0.0, 1.0);\n"
                "const float low = -0.5;\nconst int count = 3;\nconst bool on = true;\nconst float unused = 1.0;\n"
                "out vec2 red;\n"
                "void main() { float ground[count]; red = up * low; if (on && red.y < budget) red = red - low; }"),
        "#version 450\nout vec2 red;"
        "void main(){float ground[3];red=vec2(0,1)*-.5;if(true&&red.y<80)red=red- -.5;}");
    EXPECT_EQ(compact("#version 450\nfloat limit = 80.0;\nout float red;\nvoid main() { red = min(red, limit); }"),
              "#version 450\nout float red;void main(){red=min(red,80.);}")
        << "a variable that no code writes is a constant too";
}

// Each of these keeps its name, for one reason: written out, an int literal would make a float
// constant an int (3 / 2. is int arithmetic), a computed value would be computed again, and a
// value used often takes more room than a name; a kept name stays a name, and so do variables
// that some code writes and local constants.
TEST(CompactTransforms, LeavesConstantsThatWouldChangeOrGrowWrittenOut)
{
    auto expect_text = [](const std::string& declarations, const std::string& statements, const std::string& pattern) {
        std::string text =
            compact("#version 450\n" + declarations + "\nout vec3 red;\nvoid main() { " + statements + " }");
        EXPECT_TRUE(std::regex_match(text, std::regex("#version 450\n" + pattern))) << text;
    };
    expect_text("const float count = 3;", "red.x = count / 2.0;",
                R"(float (\w)=3;out vec3 red;void main\(\)\{red\.x=\1/2;\})");
    expect_text("const float third = 1.0 / 3.0;", "red.x = third;",
                R"(const float (\w)=1\./3;out vec3 red;void main\(\)\{red\.x=\1;\})");
    expect_text("const vec3 shade = vec3(0.25, 0.5, 0.75);", "red = shade * shade * shade;",
                R"(vec3 (\w)=vec3\(\.25,\.5,\.75\);out vec3 red;void main\(\)\{red=\1\*\1\*\1;\})");
    expect_text("const float ground = 2.5;", "red.x = ground;",
                R"(float ground=2\.5;out vec3 red;void main\(\)\{red\.x=ground;\})");
    expect_text("float scale = 2.5;", "const float part = 0.5; red.x = scale * part; red.y = part; scale = 1.0;",
                R"(float (\w)=2\.5;out vec3 red;void main\(\)\{const float (\w)=\.5;red\.x=\1\*\2;red\.y=\2;\1=1;\})");
    expect_text(
        "float scale = 2.5;\nvoid set(out float v) { v = 1.0; }", "set(scale); red.x = scale;",
        R"(float (\w)=2\.5;void (\w)\(out float (\w)\)\{\3=1;\}out vec3 red;void main\(\)\{\2\(\1\);red\.x=\1;\})");
}
