// GLSL syntax inside the shader packer: the tree the parser builds, the symbols (declared names)
// that the renamer gives one-letter names, and walks over the tree that the passes share.
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

enum class SymbolKind
{
    Variable, // stage-level or local, parameters included
    Function, // all the overloads that share one name, which always keep one shared name
    Struct,
    Member, // of one struct: members of different structs are different symbols
};

// A declared name of the program's own.
struct Symbol
{
    std::string name;
    SymbolKind kind = SymbolKind::Variable;
    int line = 0;                                     // where first declared
    std::vector<std::vector<std::string>> signatures; // a function's parameter shapes, per overload
    const Symbol* owner = nullptr;                    // a member's struct
    int uses = 0;                                     // declarations and references; 0 once a pass has removed them all
    bool kept = false;                                // written as declared, never renamed
    // Declared inside a conditional block (at stage level, or opened in its function): it may be
    // declared in several branches, as the same symbol, or for some hosts not at all.
    bool conditional = false;
    std::string short_name; // given by the renamer; empty keeps the name
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

// "[size]" after a type or a declared name, one for each dimension of an array of arrays; no
// size for "[]".
struct ArraySuffix
{
    std::vector<ExprPtr> sizes;
};

enum class ExprKind
{
    Name,        // text, symbol when declared by the program (a struct's name as a constructor too)
    Literal,     // text: a number, true or false
    Call,        // operands[0] callee (a Name), then the arguments; array for "T[](...)"
    Index,       // operands[0][operands[1]]
    Field,       // operands[0].text, symbol when a member of a struct of the program's
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
    int line = 0; // of its own token (a call's "(", a field's name); 0 for code a pass made

    int level() const;
};

// A deep copy of expr, bound to the same symbols.
ExprPtr clone(const Expr& expr);

struct Type
{
    std::vector<std::string> qualifiers; // const, out, "layout(location=0)", ...
    std::string name;                    // float, vec3, a struct's name
    const Symbol* symbol = nullptr;      // the struct, for a struct of the program's
    std::optional<ArraySuffix> array;
    int line = 0; // of the type's name
};

struct Declarator
{
    const Symbol* symbol;
    std::optional<ArraySuffix> array;
    ExprPtr initializer;
    int line = 0; // of the declared name
};

struct Struct;

// "struct S {...} s;" declares the struct that is its type: structure holds it, and a struct
// declared in a function without variables ("struct S {...};") has no declarators.
struct Declaration
{
    Type type;
    std::vector<Declarator> declarators;
    std::unique_ptr<Struct> structure;
};

struct Stmt;
using StmtPtr = std::unique_ptr<Stmt>;

enum class StmtKind
{
    Block,       // { statements }
    Declaration, // declaration
    Expression,  // expr;
    If,          // if (condition) then_branch [else else_branch]
    While,       // while (condition) body
    DoWhile,     // do body while (condition);
    For,         // for (init [condition]; [step]) body
    Switch,      // switch (condition) { statements }, case labels among them
    Case,        // case expr: ; default: without expr
    Return,      // return [expr];
    Jump,        // text: break, continue or discard
    Empty,       // ;
    Words,       // words, kept as written: "precision highp float;"
    Directive,   // text: a directive line between statements, "#ifdef FAST"
};

struct Stmt
{
    StmtKind kind;
    std::vector<StmtPtr> statements;
    std::unique_ptr<Declaration> declaration;
    ExprPtr expr;
    ExprPtr condition;
    StmtPtr init; // a declaration, an expression statement or Empty
    ExprPtr step;
    StmtPtr body;
    StmtPtr then_branch;
    StmtPtr else_branch;
    std::string text;
    std::vector<std::string> words;
    int line = 0; // of its first token; 0 for a statement a pass made
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
    int line = 0;             // of its name
};

struct MemberName
{
    const Symbol* symbol;
    std::optional<ArraySuffix> array;
};

struct StructMember
{
    Type type;
    std::vector<MemberName> names;
};

// A struct, or an interface block ("uniform Lights { vec3 colour[3]; } lights;"), whose name,
// members and instance name a host binds: all kept as written.
struct Struct
{
    const Symbol* symbol;
    std::vector<StructMember> members;
    std::vector<std::string> qualifiers; // an interface block's ("uniform", "layout(std140)"); none for a struct
    std::optional<Declarator> instance;  // an interface block's instance name
};

// One top-level item, in source order: a directive line, a statement kept word for word, a
// struct, a declaration or a function.
struct External
{
    std::string directive;
    std::vector<std::string> words; // "precision", "highp", "float": written with a ';' after them
    std::unique_ptr<Struct> structure;
    std::unique_ptr<Declaration> declaration;
    std::unique_ptr<Function> function;
    int line = 0; // of its first token
};

// What a function's body names: the renamer keeps its locals apart from these.
struct FunctionScope
{
    std::set<const Symbol*> globals;   // stage-level variables and functions referenced
    std::vector<const Symbol*> locals; // parameters, local variables and structs
};

struct Program
{
    std::vector<External> externals;
    std::deque<Symbol> symbols; // stable addresses
    std::vector<FunctionScope> function_scopes;
    // Names used but not declared here: built-ins, and what a host may define as a macro.
    std::set<std::string> foreign_names;
};

// An empty statement of the kind, for the passes that build statements.
StmtPtr make_stmt(StmtKind kind);

// Deep copies, bound to the same symbols.
Type clone(const Type& type);
std::unique_ptr<Struct> clone(const Struct& structure);
StmtPtr clone(const Stmt& stmt);

// Counts again every symbol's uses and each function's scope from the tree as it stands, as the
// parser counted them: for passes that drop, move or copy code.
void recount_symbols(Program& program);

// The statements directly inside stmt, in source order: a block's or a switch's statements, a
// for's init, the branches of an if, a loop's body.
void for_each_substatement(Stmt& stmt, const std::function<void(Stmt&)>& action);

// Called with each expression and whether it lies inside an array size, a constant expression.
using ExprVisitor = std::function<void(Expr&, bool in_array_size)>;

// Every expression of the program, array sizes included, each before its operands.
void visit_expressions(Program& program, const ExprVisitor& visitor);
void visit_expressions(Expr& expr, const ExprVisitor& visitor);

// Every declaration of the program, stage-level and local, for-loop initialisers included.
void for_each_declaration(Program& program, const std::function<void(Declaration&)>& action);
// Every outermost expression inside stmt and the statements nested in it: initializers,
// expressions, conditions and steps, in source order.
void for_each_expression(Stmt& stmt, const std::function<void(Expr&)>& action);
// Every declaration inside stmt.
void for_each_declaration(Stmt& stmt, const std::function<void(Declaration&)>& action);

// The name of a struct as a type: its name and where it is declared, as structs of one name may
// stand in different scopes.
std::string struct_type_name(const Symbol& structure);

// The name of a declared variable's type, a struct's as struct_type_name gives it; an array's
// ends in "[]", once for each dimension.
std::string type_name(const Type& type, const std::optional<ArraySuffix>& array);

} // namespace shader_packer::glsl
