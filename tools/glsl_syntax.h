// GLSL syntax inside the shader packer: tokens, the tree the parser builds, and the symbols
// (declared names) that the renamer gives one-letter names.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace shader_packer::glsl {

enum class TokenKind
{
    Word,
    Number,
    Punctuator,
    Directive,
    End
};

struct Token
{
    TokenKind kind;
    std::string text; // a directive holds its whole line, "#version 450"
    int line;
};

// Splits source into tokens, dropping comments and whitespace. Throws PackError.
std::vector<Token> lex(std::string_view source);

// A declared name of the program's own: a variable, a parameter, or all the functions that
// share one name (overloads), which always keep one shared name.
struct Symbol
{
    std::string name;
    int line = 0; // where first declared
    bool is_function = false;
    std::vector<std::vector<std::string>> signatures; // parameter shapes of each overload
    int uses = 0;                                     // declarations and references
    std::string short_name;                           // given by the renamer; empty keeps the name
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// "[size]" after a type or a declared name; no size for "[]".
struct ArraySuffix
{
    ExprPtr size;
};

enum class ExprKind
{
    Name,        // text, symbol when declared by the program
    Literal,     // text: a number, true or false
    Call,        // operands[0] callee (a Name), then the arguments; array for "T[](...)"
    Index,       // operands[0][operands[1]]
    Field,       // operands[0].text
    Prefix,      // text operands[0]
    Postfix,     // operands[0] text
    Binary,      // operands[0] text operands[1], assignments and the comma included
    Conditional, // operands[0] ? operands[1] : operands[2]
    InitList,    // {operands...}
};

// How tightly an expression binds, loosest first: the printer parenthesizes by these.
namespace level {
constexpr int comma = 1, assignment = 2, conditional = 3, prefix = 15, postfix = 16, primary = 17;
}

// The level of a binary operator from "||" (4) to "*" (14); 0 for anything else.
int binary_operator_level(std::string_view op);

bool is_assignment_operator(std::string_view op);

struct Expr
{
    ExprKind kind;
    std::string text;
    const Symbol* symbol = nullptr;
    std::vector<ExprPtr> operands;
    std::optional<ArraySuffix> array;

    int level() const;
};

struct Type
{
    std::vector<std::string> qualifiers; // const, out, "layout(location=0)", ...
    std::string name;                    // float, vec3, a struct's name
    std::optional<ArraySuffix> array;
};

struct Declarator
{
    const Symbol* symbol;
    std::optional<ArraySuffix> array;
    ExprPtr initializer;
};

struct Declaration
{
    Type type;
    std::vector<Declarator> declarators;
};

struct Stmt;
using StmtPtr = std::unique_ptr<Stmt>;

enum class StmtKind
{
    Block,       // children
    Declaration, // declaration
    Expression,  // expr
    If,          // if (expr) children[0] [else children[1]]
    While,       // while (expr) children[0]
    DoWhile,     // do children[0] while (expr);
    For,         // for (children[0] expr; step) children[1]
    Return,      // return [expr];
    Jump,        // text: break, continue or discard
    Empty,       // ;
};

struct Stmt
{
    StmtKind kind;
    ExprPtr expr;
    ExprPtr step;
    std::unique_ptr<Declaration> declaration;
    std::vector<StmtPtr> children;
    std::string text;
};

struct Parameter
{
    Type type;
    const Symbol* symbol = nullptr; // none in a prototype without names
    std::optional<ArraySuffix> array;
};

struct Function
{
    Type result;
    const Symbol* symbol;
    std::vector<Parameter> parameters;
    std::optional<Stmt> body; // a Block; none for a prototype
};

struct MemberName
{
    std::string name;
    std::optional<ArraySuffix> array;
};

struct StructMember
{
    Type type;
    std::vector<MemberName> names;
};

struct Struct
{
    std::string name;
    std::vector<StructMember> members;
};

// One top-level item, in source order: a directive line, a struct, a declaration or a function.
struct External
{
    std::string directive;
    std::unique_ptr<Struct> structure;
    std::unique_ptr<Declaration> declaration;
    std::unique_ptr<Function> function;
};

// What a function's body names: the renamer keeps its locals apart from these.
struct FunctionScope
{
    std::set<const Symbol*> globals; // stage-level variables and functions referenced
    std::vector<Symbol*> locals;     // parameters and local variables
};

struct Program
{
    std::vector<External> externals;
    std::deque<Symbol> symbols; // stable addresses
    std::vector<FunctionScope> function_scopes;
    std::set<std::string> foreign_names; // names used but not renamed: structs, built-ins
};

// Parses a whole translation unit and binds every name to its declaration. Throws PackError.
Program parse(std::string_view source);

// Joins each run of neighbouring declarations of one type, in a block or at stage level, into
// one: "float a=1.;float b=a;" becomes "float a=1.,b=a;". Declarations with a layout or with an
// array type stay apart.
void merge_declarations(Program& program);

// Writes integral float literals that are arguments of float scalar, vector and matrix
// constructors as the shorter integer literals the constructor converts exactly: vec3(0.,-6.,.5)
// prints as vec3(0,-6,.5). A negated zero stays a float, as -0 would be +0.
void use_integer_constructor_arguments(Program& program);

// Writes integral float literals as the shorter integer literals where the language converts
// the int to float exactly and the meaning stays: an operand of + - * / whose other operand is
// certainly a float scalar, vector or matrix, an operand of a comparison or the value of an
// assignment, initializer or return whose other side is certainly a float scalar. "x<0." prints
// as "x<0", "v*2." as "v*2"; so do arguments of min beside a float argument. Other function
// and built-in arguments, whose overloads an int could change, stay, and so does -0., as -0
// would be +0.
void use_integer_operands_of_floats(Program& program);

// Drops "const" from stage-level float and vector constants whose initializers are spelt out in
// literals, where no constant expression (array size, other const initializer) names them: the
// value is the same, computed or folded.
void drop_const_from_literal_globals(Program& program);

// Names that stay as written: the entry point and the colour constants. (The struct material
// and its members col, hit and d keep theirs as struct and member names always do.)
bool is_kept_name(std::string_view name);

// Gives each renamable symbol its one-letter name. letters lists the candidates, the most
// wanted first. Throws PackError when a scope needs more names than there are letters.
void assign_short_names(Program& program, std::string_view letters);

// Improves the names that assign_short_names gave for a compressor: one symbol at a time, tries
// every other letter of letters that no conflicting name holds, and moves to it where size_of of
// the compact text falls, or stays equal and the letter comes later in letters: moves across
// equal sizes let later moves reach smaller texts, and going one way they never swing back.
// Stops after rounds passes over all symbols, or after a pass that moved nothing.
void tune_short_names(Program& program, std::string_view letters,
                      const std::function<std::size_t(const std::string&)>& size_of, int rounds);

// Writes the program in compact form. With placeholders, renamable names print as nothing,
// which leaves the text whose letters the short names should echo.
std::string print_compact(const Program& program, bool placeholders = false);

// Where print_compact wrote a short name: its offset in the text, and whose name it is.
struct NamePlace
{
    std::size_t offset;
    const Symbol* symbol;
};

// The compact form, listing where each short name was written.
std::string print_compact(const Program& program, std::vector<NamePlace>& places);

// True when a and b, written next to each other, would read back as other tokens.
bool tokens_merge(std::string_view a, std::string_view b);

} // namespace shader_packer::glsl
