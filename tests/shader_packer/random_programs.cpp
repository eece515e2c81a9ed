// Random GLSL programs for comparing the packer's output with its input on the GL driver. Every
// value stays defined: divisors and shift counts are masked into range, indices into bounds,
// and no expression both writes a variable and reads or writes it anywhere else.
#include "random_programs.h"

#include "shader_packer.h"
#include "shader_probe.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

namespace random_programs {

namespace {

enum Type
{
    Int,
    Uint,
    Float,
    Bool,
    Vec3,
    IVec2,
    Statement,
    Block
};
constexpr int value_types = 6;
const char* const type_names[value_types] = {"int", "uint", "float", "bool", "vec3", "ivec2"};
// Variables of floating types, and the helpers' floating results, are declared precise: a driver
// may otherwise fuse or regroup the arithmetic that computes them, and does so by what it can
// prove of the operands, so that a constant written as a variable may move a result by its last
// bit. Precise leaves the meaning as the text states it for the packer's form and the reader's
// form alike. For the same reason the float constant is no literal, which the packer would write
// as a plain global: arithmetic outside precise variables (a condition, say) still moves.
const char* const declared_types[value_types] = {"int", "uint", "precise float", "bool", "precise vec3", "ivec2"};
const std::vector<std::vector<std::string>> literals = {
    {"0", "1", "3", "7", "12", "(-5)", "0x1f", "017", "2147483647", "(-2147483647)"},
    {"0u", "1u", "5u", "0xffu", "017u", "4000000000u"},
    {"0.0", "0.5", "1.0", "2.0", "0.1", "1e2", "1.25", "(-0.75)", "3.0e-2", "100.0"},
    {"false", "true"},
    {"vec3(0.5)", "vec3(1.0, 0.0, -2.0)"},
    {"ivec2(3)", "ivec2(1, -4)"},
};

struct Variable
{
    std::string name;
    int type;
    bool writable = true;
    int scope = 0;     // how deep the block that declares it is: 0 for the stage, 1 for the function
    bool part = false; // an array's element or a struct's member, which no declaration may hide
};

// Stage-level variables (the first three kept) and the locals every program starts with.
const std::vector<Variable> globals = {{"n", Int},     {"t", Float},     {"e", Vec3},    {"total", Int},
                                       {"mask", Uint}, {"level", Float}, {"flag", Bool}, {"cell", IVec2}};
const std::vector<Variable> locals = {{"count", Int, true, 1},  {"bits", Uint, true, 1}, {"amount", Float, true, 1},
                                      {"ready", Bool, true, 1}, {"tint", Vec3, true, 1}, {"offset", IVec2, true, 1}};
// Two constants, two macros that read them as words the packer renames inside, and two that
// take arguments, one of them expanding another.
const char* const constants =
    "const int limit = 5;\nconst float scale = (1.0 / 4.0);\n#define WIDE (limit * 3)\n#define "
    "SPREAD vec3(scale, float(WIDE), -scale)\n#define PICK(c, a, b) ((c) ? (a) : (b))\n"
    "#define SCALED(v, by) (((v) * (by)) + SPREAD)\n";
const std::vector<Variable> constant_variables = {
    {"limit", Int, false}, {"scale", Float, false}, {"WIDE", Int, false}, {"SPREAD", Vec3, false}};
// Each variable starts from the top bits of a hash of the column salted for it ('%'), so that
// across the columns every operand takes its values independently of the others: every way of
// grouping the operators that the generator writes draws another value in some column.
const char* const initial_values[value_types] = {
    "(int((column_bits(%u) >> 28u)) - 8)",
    "column_bits(%u)",
    "((float((column_bits(%u) >> 25u)) * 0.0625) - 3.0)",
    "((column_bits(%u) >> 31u) == 1u)",
    "vec3(float((column_bits(%u) >> 28u)), 0.%, (-gl_FragCoord.x))",
    "ivec2((int((column_bits(%u) >> 28u)) - 7), int((column_bits(%u) >> 29u)))"};

// Overloads that the calls choose among by argument type; each reads a parameter twice, so
// that an argument with an effect must not be written in twice. settle writes its argument,
// tally the stage-level total.
const char* const helpers = R"(uint column_bits(uint salt)
{
uint h = ((uint(gl_FragCoord.x) + (salt * 40503u)) * 2654435761u);
return ((h ^ (h >> 15u)) * 2246822519u);
}
int blend(int a, int b) { return ((a * 3) - (b ^ a)); }
uint blend(uint a, uint b) { return (a ^ (b << 2u)); }
float blend(float a, float b) { precise float r = ((a * 0.5) + (b * a)); return r; }
vec3 blend(vec3 a, float b) { precise vec3 r = ((a * b) - a.zxy); return r; }
int twist(int a) { return (~a); }
ivec2 twist(ivec2 a) { return (a.yx + a); }
float twist(float a) { return (-(a * a)); }
bool twist(bool a) { return (!a); }
int settle(inout int a) { (a = ((a * 2) + 1)); return (a - 1); }
float settle(inout float a) { (a *= 0.5); return (a + 1.0); }
int tally(int a) { (total += a); return (total ^ a); }
)";

// The forms of each type's expressions besides variables, literals, conditionals, commas and
// assignments; an operand's type follows each '@' as a digit (the Type).
const std::vector<std::vector<std::string>> forms = {
    {"(@0 + @0)",
     "(@0 - @0)",
     "(@0 * @0)",
     "(@0 & @0)",
     "(@0 | @0)",
     "(@0 ^ @0)",
     "(@0 / ((@0 & 7) + 1))",
     "((@0 & 1023) % ((@0 & 7) + 1))",
     "(@0 << (@0 & 15))",
     "(@0 >> (@1 & 15u))",
     "(-@0)",
     "(~@0)",
     "(+@0)",
     "int(@1)",
     "int(@3)",
     "@5.y",
     "@5[(@0 & 1)]",
     "PICK(@3, @0, @0)",
     "blend(@0, @0)",
     "twist(@0)",
     "min(@0, @0)"},
    {"(@1 + @1)", "(@1 - @1)", "(@1 * @1)", "(@1 & @1)", "(@1 | @1)", "(@1 ^ @1)", "(@1 / ((@1 & 7u) + 1u))",
     "(@1 % ((@1 & 7u) + 1u))", "(@1 << (@0 & 31))", "(@1 >> (@1 & 31u))", "(~@1)", "uint(@0)", "uint(@3)",
     "blend(@1, @1)"},
    {"(@2 + @2)", "(@2 - @2)", "(@2 * @2)", "(@2 / 4.0)", "(@2 / (-0.5))", "(-@2)", "float(@0)", "float(@1)",
     "float(@3)", "@4.z", "@4[(@0 & 1)]", "dot(@4, @4)", "blend(@2, @2)", "twist(@2)", "min(@2, @2)", "max(@2, 2.0)",
     "max(1.0, 3.0)"},
    {"(@0 < @0)", "(@1 > @1)", "(@2 <= @2)", "(@0 >= @0)", "(@1 == @1)", "(@2 != @2)", "(@4 == @4)", "(@5 != @5)",
     "(@3 == @3)", "(@3 && @3)", "(@3 || @3)", "(@3 ^^ @3)", "(!@3)", "bool(@0)", "twist(@3)"},
    {"(@4 + @4)", "(@4 - @4)", "(@4 * @4)", "(@4 * @2)", "(@2 * @4)", "(@4 / 2.0)", "(-@4)", "vec3(@2)",
     "vec3(@2, @2, @2)", "vec3(@4.xy, @2)", "@4.zxy", "blend(@4, @2)", "SCALED(@4, @2)"},
    {"(@5 + @5)", "(@5 * @5)", "(@5 * @0)", "(@5 & @5)", "(@5 ^ @5)", "(-@5)", "(~@5)", "ivec2(@0)", "ivec2(@0, @0)",
     "@5.yx", "twist(@5)"},
};

// Assignments of each type; '#' is the variable written, with a component when it is a vector's.
// tally writes total itself.
const std::vector<std::vector<std::string>> assignments = {
    {"(# = @0)", "(# += @0)", "(# -= @0)", "(# *= @0)", "(# /= ((@0 & 7) + 1))", "(# <<= (@0 & 15))",
     "(# >>= (@1 & 15u))", "(# &= @0)", "(# ^= @0)", "(# |= @0)", "(#++)", "(++#)", "(#--)", "(--#)", "settle(#)",
     "tally(@0)"},
    {"(# = @1)", "(# += @1)", "(# -= @1)", "(# *= @1)", "(# /= ((@1 & 7u) + 1u))", "(# %= ((@1 & 7u) + 1u))",
     "(# <<= (@0 & 31))", "(# >>= (@1 & 31u))", "(# &= @1)", "(# ^= @1)", "(# |= @1)", "(#++)", "(--#)"},
    {"(# = @2)", "(# += @2)", "(# -= @2)", "(# *= @2)", "(# /= 2.0)", "(++#)", "(#--)", "settle(#)"},
    {"(# = @3)"},
    {"(# = @4)", "(# += @4)", "(# -= @4)", "(# *= @2)", "(# *= @4)"},
    {"(# = @5)", "(# += @5)", "(# -= @5)", "(# *= @0)", "(# &= @5)", "(# |= @5)", "(# ^= @5)"},
};

class Generator
{
public:
    explicit Generator(std::uint64_t seed) : random_(seed), seed_(seed)
    {
        variables_ = globals;
        variables_.insert(variables_.end(), locals.begin(), locals.end());
        variables_.insert(variables_.end(), constant_variables.begin(), constant_variables.end());
    }

    Node block(int statements, int depth)
    {
        std::size_t in_scope = variables_.size();
        ++scope_;
        Node result{"", Block};
        for (int i = 0; i < statements; ++i)
        {
            result.form += "@";
            result.operands.push_back(statement(depth));
        }
        variables_.resize(in_scope);
        --scope_;
        return result;
    }

private:
    int pick(std::size_t count) { return std::uniform_int_distribution<int>(0, int(count) - 1)(random_); }
    bool chance(int percent) { return pick(100) < percent; }

    Node statement(int depth)
    {
        read_.clear();
        written_.clear();
        int kind = pick(depth > 0 ? 14 : 9);
        if (kind < 2)
        {
            int type = pick(value_types);
            std::string name = std::string(type_names[type]) + "_value" + std::to_string(next_name_++);
            bool constant = type < Bool && chance(25);
            if (std::vector<std::string> outer = shadowable(type); !constant && !outer.empty() && chance(30))
                name = outer[pick(outer.size())];
            std::string declared = constant ? std::string("const ") + type_names[type] : declared_types[type];
            Node declaration{
                declared + " " + name + " = @;\n", Statement, {constant ? leaf(type, false) : expr(type, 3)}};
            variables_.push_back({name, type, !constant, scope_});
            return declaration;
        }
        if (kind == 2)
            return chance(50) ? array_declaration() : struct_declaration();
        if (kind == 8 && (loops_ > 0 || switches_ > 0))
            return {"if (@)\n{\n" + std::string(loops_ == 0 || chance(50) ? "break" : "continue") + ";\n}\n",
                    Statement,
                    {expr(Bool, 2)}};
        if (kind < 9)
            return {"@;\n", Statement, {side_effect(pick(value_types), 3)}};
        if (kind < 11)
            return {"if (@)\n{\n@}\nelse\n{\n@}\n",
                    Statement,
                    {expr(Bool, 2), block(1 + pick(3), depth - 1), block(pick(2), depth - 1)}};
        if (kind == 11)
            return switch_statement(depth);
        // Loops of three rounds, counted by a variable that their bodies only read.
        std::string counter = "step" + std::to_string(next_name_++);
        variables_.push_back({counter, Int, false, scope_ + 1});
        ++loops_;
        Node body = block(1 + pick(3), depth - 1);
        --loops_;
        variables_.pop_back();
        if (kind == 12)
            return {"for (int " + counter + " = 0; (" + counter + " < 3); (" + counter + "++))\n{\n@}\n",
                    Statement,
                    {body}};
        return {"{\nint " + counter + " = 0;\ndo\n{\n@}\nwhile (((++" + counter + ") < 3));\n}\n", Statement, {body}};
    }

    // Cases 0 to 2 and default, each case falling through to the next or not.
    Node switch_statement(int depth)
    {
        Node result{"switch ((@ & 3))\n{\n", Statement, {expr(Int, 2)}};
        ++switches_;
        for (int label = 0; label < 4; ++label)
        {
            result.form += (label < 3 ? "case " + std::to_string(label) + ":\n" : "default:\n") + "{\n@}\n";
            result.operands.push_back(block(pick(3), depth - 1));
            if (label < 3 && chance(50))
                result.form += "break;\n";
        }
        --switches_;
        result.form += "}\n";
        return result;
    }

    // An array of int or float whose elements later statements read and write.
    Node array_declaration()
    {
        int type = chance(50) ? Int : Float;
        std::string name = "list" + std::to_string(next_name_++);
        Node declaration{std::string(declared_types[type]) + " " + name + "[3] = " + type_names[type] +
                             "[3](@, @, @);\n",
                         Statement,
                         {expr(type, 2), expr(type, 2), expr(type, 2)}};
        for (int element = 0; element < 3; ++element)
            variables_.push_back({name + "[" + std::to_string(element) + "]", type, true, scope_, true});
        return declaration;
    }

    // A struct declared here, with its variable in the same declaration or the next. Its name
    // holds the seed, as programs of several seeds share one stage.
    Node struct_declaration()
    {
        std::string suffix = std::to_string(seed_) + "_" + std::to_string(next_name_++);
        std::string type = "shape" + suffix, name = "value" + suffix;
        std::string members = "struct " + type + " { int count; float size; vec3 hue; }";
        Node declaration{members + (chance(50) ? ";\n" + type : "") + " " + name + " = " + type + "(@, @, @);\n",
                         Statement,
                         {expr(Int, 2), expr(Float, 2), expr(Vec3, 2)}};
        variables_.push_back({name + ".count", Int, true, scope_, true});
        variables_.push_back({name + ".size", Float, true, scope_, true});
        variables_.push_back({name + ".hue", Vec3, true, scope_, true});
        return declaration;
    }

    // Names of writable variables of the type from outer blocks, which a declaration here may
    // hide (its initializer still reads the outer one), none declared in this block.
    std::vector<std::string> shadowable(int type) const
    {
        std::vector<std::string> names;
        for (const Variable& v : variables_)
            if (v.type == type && v.writable && !v.part && v.scope < scope_ &&
                std::none_of(variables_.begin(), variables_.end(),
                             [&](const Variable& other) { return other.name == v.name && other.scope == scope_; }))
                names.push_back(v.name);
        return names;
    }

    Node expr(int type, int depth)
    {
        if (depth <= 0 || chance(20))
            return leaf(type);
        int kind = pick(20);
        if (kind == 0)
            return {"(@ ? @ : @)", type, {expr(Bool, depth - 1), expr(type, depth - 1), expr(type, depth - 1)}};
        if (kind == 1)
            return {"(@, @)", type, {side_effect(pick(value_types), depth - 1), expr(type, depth - 1)}};
        if (kind == 2)
            return side_effect(type, depth);
        return filled(forms[type][pick(forms[type].size())], type, depth);
    }

    // An assignment or increment of a variable of the type, or of one of a vector's components.
    Node side_effect(int type, int depth)
    {
        const std::string& form = assignments[type][pick(assignments[type].size())];
        std::string component;
        int target_type = type;
        if ((type == Int || type == Float) && chance(30))
        {
            target_type = type == Int ? IVec2 : Vec3;
            component = type == Int ? ".y" : ".z";
        }
        bool tally = form.starts_with("tally");
        std::vector<const Variable*> free;
        for (const Variable& v : variables_)
            if (v.type == target_type && v.writable && !read_.contains(v.name) && !written_.contains(v.name) &&
                (!tally || (v.name == "total" && component.empty())))
                free.push_back(&v);
        if (free.empty())
            return expr(type, depth - 1);
        const Variable& target = *free[pick(free.size())];
        written_.insert(target.name);
        std::size_t at = form.find('#');
        if (at == std::string::npos)
            return filled(form, type, depth);
        return filled(form.substr(0, at) + "#" + component + form.substr(at + 1), type, depth,
                      Node{target.name, target_type, {}, true});
    }

    // form with each "@digit" replaced by an operand of that type, '#' by target.
    Node filled(const std::string& form, int type, int depth, const Node& target = {})
    {
        Node result{"", type};
        for (std::size_t i = 0; i < form.size(); ++i)
        {
            result.form += form[i] == '#' ? '@' : form[i];
            if (form[i] == '#')
                result.operands.push_back(target);
            else if (form[i] == '@')
                result.operands.push_back(expr(form[++i] - '0', depth - 1));
        }
        return result;
    }

    Node leaf(int type, bool variables = true)
    {
        std::vector<const Variable*> readable;
        for (const Variable& v : variables_)
            if (v.type == type && !written_.contains(v.name))
                readable.push_back(&v);
        if (readable.empty() || !variables || chance(30))
            return {literals[type][pick(literals[type].size())], type};
        const Variable& chosen = *readable[pick(readable.size())];
        read_.insert(chosen.name);
        return {chosen.name, type};
    }

    std::mt19937_64 random_;
    std::vector<Variable> variables_;
    std::set<std::string> read_, written_; // in the statement being generated
    int next_name_ = 0;
    int loops_ = 0;    // loops around the statement being generated
    int switches_ = 0; // switches around it
    std::uint64_t seed_;
    int scope_ = 0;
};

void write(const Node& node, std::string& out)
{
    std::size_t operand = 0;
    for (char c : node.form)
        if (c == '@')
            write(node.operands[operand++], out);
        else
            out += c;
}

std::string case_function(int row, const std::string& body)
{
    std::string text = "vec4 case" + std::to_string(row) + "()\n{\n";
    int salt = 3;
    for (const Variable& v : globals)
        text += v.name + " = " + initial_values[v.type] + ";\n";
    for (const Variable& v : locals)
        text += std::string(declared_types[v.type]) + " " + v.name + " = " + initial_values[v.type] + ";\n";
    for (std::size_t at; (at = text.find('%')) != std::string::npos;)
        text.replace(at, 1, std::to_string(salt++));
    text += body + "uint hash = 0u;\n";
    auto fold = [&](const std::string& bits) { text += "hash = ((hash * 31u) + " + bits + ");\n"; };
    for (const std::vector<Variable>* scope : {&globals, &locals})
        for (const Variable& v : *scope)
            if (v.type == Float)
                fold("floatBitsToUint(" + v.name + ")");
            else if (v.type == Vec3)
                for (const char* c : {".x", ".y", ".z"})
                    fold("floatBitsToUint(" + v.name + c + ")");
            else if (v.type == IVec2)
                for (const char* c : {".x", ".y"})
                    fold("uint(" + v.name + c + ")");
            else
                fold("uint(" + v.name + ")");
    return text + "return vec4(float((hash >> 16u)), float((hash & 65535u)), 0.0, 1.0);\n}\n";
}

constexpr int columns = 64;

std::optional<support::Image<float>> drawn(const std::string& fragment, int rows, std::string& failure)
{
    GLuint program = 0;
    try
    {
        program = shader_probe::build(fragment);
    }
    catch (const std::runtime_error& error)
    {
        failure = error.what();
        return std::nullopt;
    }
    support::Image<float> image = offscreen::render<float>(program, {columns, rows});
    glDeleteProgram(program);
    return image;
}

} // namespace

const std::set<std::string> kept_names = {"n", "t", "e"};

Program random_program(std::uint64_t seed)
{
    Generator generator(seed);
    return {generator.block(4 + int(seed % 7), 2)};
}

std::string body_text(const Program& program)
{
    std::string text;
    write(program.body, text);
    return text;
}

std::string fragment_source(const std::vector<std::string>& bodies)
{
    std::string text = "#version 450\nout vec4 frag_color;\n";
    for (const Variable& v : globals)
        text += std::string(declared_types[v.type]) + " " + v.name + ";\n";
    text += constants;
    text += helpers;
    std::string main = "void main()\n{\nint row = int(gl_FragCoord.y);\nfrag_color = vec4(0.0);\n";
    for (std::size_t row = 0; row < bodies.size(); ++row)
    {
        text += case_function(int(row), bodies[row]);
        main += "if ((row == " + std::to_string(row) + "))\n{\nfrag_color = case" + std::to_string(row) + "();\n}\n";
    }
    return text + main + "}\n";
}

std::string fragment_source(const std::vector<Program>& programs)
{
    std::vector<std::string> bodies;
    for (const Program& program : programs)
        bodies.push_back(body_text(program));
    return fragment_source(bodies);
}

std::optional<std::string> difference(const std::vector<std::string>& bodies)
{
    std::string readable = fragment_source(bodies), compact, failure;
    int rows = int(bodies.size());
    std::optional<support::Image<float>> expected = drawn(readable, rows, failure);
    if (!expected)
        throw std::runtime_error("the readable program does not build: " + failure + "\n" + readable);
    try
    {
        compact =
            shader_packer::compact(readable, {.kept_names = kept_names, .integer_argument_functions = {"min", "max"}});
    }
    catch (const support::LineError& error)
    {
        return "the packer refuses it at line " + std::to_string(error.line()) + ": " + error.what();
    }
    std::optional<support::Image<float>> packed = drawn(compact, rows, failure);
    if (!packed)
        return "the compact program does not build: " + failure + "\n" + compact;
    std::string rows_differing;
    std::size_t row_floats = columns * 3;
    for (int row = 0; row < rows; ++row)
        if (std::memcmp(&expected->rgb[row * row_floats], &packed->rgb[row * row_floats], row_floats * sizeof(float)))
            rows_differing += " " + std::to_string(rows - 1 - row);
    if (rows_differing.empty())
        return std::nullopt;
    return "the compact program draws other bits on rows" + rows_differing + ":\n" + compact;
}

namespace {

// Applies the index-th smaller variant of node, counted in the order the text reads: a
// statement left out of a block, an if or a loop replaced by the statements of one of its
// blocks, an expression replaced by an operand of its type or by a literal. Counts index down
// past the variants it has; true once one is applied.
bool apply_variant(Node& node, int& index)
{
    if (node.type == Block)
        for (std::size_t i = 0; i < node.operands.size(); ++i)
            if (index-- == 0)
            {
                node.operands.erase(node.operands.begin() + i);
                node.form.pop_back();
                return true;
            }
    if (node.type == Statement)
        for (Node& operand : node.operands)
            if (operand.type == Block && index-- == 0)
            {
                Node statements = std::move(operand);
                node = std::move(statements);
                return true;
            }
    if (node.type < value_types && !node.fixed && !node.operands.empty())
    {
        for (Node& operand : node.operands)
            if (operand.type == node.type && index-- == 0)
            {
                Node moved = std::move(operand);
                node = std::move(moved);
                node.fixed = false;
                return true;
            }
        if (index-- == 0)
        {
            node = {literals[node.type][0], node.type};
            return true;
        }
    }
    for (Node& operand : node.operands)
        if (apply_variant(operand, index))
            return true;
    return false;
}

bool still_fails(const Program& program)
{
    try
    {
        return difference({body_text(program)}).has_value();
    }
    catch (const std::runtime_error&)
    {
        return false;
    }
}

} // namespace

Program shrunk(Program program)
{
    for (bool smaller = true; smaller;)
    {
        smaller = false;
        for (int variant = 0;; ++variant)
        {
            Program candidate = program;
            int index = variant;
            if (!apply_variant(candidate.body, index))
                break;
            if (still_fails(candidate))
            {
                program = std::move(candidate);
                smaller = true;
                --variant;
            }
        }
    }
    return program;
}

} // namespace random_programs
