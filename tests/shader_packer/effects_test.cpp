// What the inlining passes rely on: the variables a statement reads and writes, through
// assignments, increments, out parameters and the functions it calls, and which built-ins are
// more than values.
#include "glsl_effects.h"
#include "glsl_parser.h"

#include <gtest/gtest.h>

namespace {

using namespace shader_packer::glsl;

// Effects by variable name, outliving the program they were found in.
struct NamedEffects
{
    std::set<std::string> reads, writes;
    bool opaque;
    bool pure() const { return writes.empty() && !opaque; }
};

std::set<std::string> names(const std::set<const Symbol*>& symbols)
{
    std::set<std::string> found;
    for (const Symbol* symbol : symbols)
        found.insert(symbol->name);
    return found;
}

// The effects of each statement of main in a stage with the given stage-level code.
std::vector<NamedEffects> main_statements(const std::string& stage_level, const std::string& statements)
{
    Program program = parse("#version 450\n" + stage_level + "\nvoid main() {\n" + statements + "\n}\n");
    EffectAnalysis analysis(program);
    std::vector<NamedEffects> found;
    for (const StmtPtr& statement : program.externals.back().function->body->statements)
    {
        Effects effects = analysis.of(*statement);
        found.push_back({names(effects.reads), names(effects.writes), effects.opaque});
    }
    return found;
}

} // namespace

TEST(Effects, AssignmentsAndIncrementsWriteTheVariableAtTheirRoot)
{
    std::vector<NamedEffects> effects = main_statements("float a[3]; vec3 v; int i; float x;",
                                                        "a[i].x = x; v.yz += vec2(x); i++; x = v.x * a[0]; a[1] = x;");
    EXPECT_EQ(effects[0].writes, std::set<std::string>{"a"});
    EXPECT_EQ(effects[0].reads, (std::set<std::string>{"a", "i", "x"})) << "the index is read";
    EXPECT_EQ(effects[1].writes, std::set<std::string>{"v"});
    EXPECT_EQ(effects[2].writes, std::set<std::string>{"i"});
    EXPECT_EQ(effects[3].writes, std::set<std::string>{"x"});
    EXPECT_EQ(effects[3].reads, (std::set<std::string>{"a", "v", "x"}));
    EXPECT_EQ(effects[4].writes, std::set<std::string>{"a"}) << "an element written is its array written";
    for (const NamedEffects& effect : effects)
        EXPECT_FALSE(effect.pure());
}

// A call does what the called function does to stage-level variables, however deep, and writes
// what it passes to out and inout parameters; the function's own variables stay inside it.
TEST(Effects, CallsCarryTheirFunctionsWritesAndOutParameters)
{
    std::string functions = "float level; float other;\n"
                            "void raise() { float amount = 1.0; level += amount; }\n"
                            "float through() { raise(); return other; }\n"
                            "void split(float v, out float whole, inout float rest) { whole = v; rest += v; }\n"
                            "float twice(in float v) { return v * 2.0; }";
    std::vector<NamedEffects> effects =
        main_statements(functions, "float a, b, c; through(); split(c, a, b); c = twice(a);");
    EXPECT_EQ(effects[1].writes, std::set<std::string>{"level"});
    EXPECT_EQ(effects[1].reads, (std::set<std::string>{"level", "other"}));
    EXPECT_EQ(effects[2].writes, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(effects[3].writes, std::set<std::string>{"c"});
    EXPECT_TRUE(main_statements(functions, "twice(level);")[0].pure());
}

TEST(Effects, OnlyPureBuiltInsAreValuesAlone)
{
    std::string stage = "uniform sampler2D image; float x; vec2 p;";
    EXPECT_EQ(main_statements(stage, "x = 1.0;")[0].writes, std::set<std::string>{"x"});
    for (const char* pure :
         {"sin(x) * pow(x, 2.0);", "length(normalize(p));", "clamp(mix(x, 1.0, 0.5), 0.0, 1.0);", "vec3(p, x);"})
        EXPECT_TRUE(main_statements(stage, pure)[0].pure()) << pure;
    for (const char* opaque : {"dFdx(x);", "texture(image, p);", "modf(x, x);", "gl_FragDepth = x;"})
        EXPECT_TRUE(main_statements(stage, opaque)[0].opaque) << opaque;
}
