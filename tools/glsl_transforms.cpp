// Tree rewrites before printing that shorten the compact form and leave every value the program
// computes as it was: joined declarations, integer constructor arguments, and literal-valued
// stage-level constants declared without "const".
#include "glsl_syntax.h"
#include "shader_packer.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

namespace shader_packer::glsl {

namespace {

// Called with each expression and whether it lies inside an array size, a constant expression.
using ExprVisitor = std::function<void(Expr&, bool in_array_size)>;

void visit(Expr& expr, const ExprVisitor& visitor, bool in_array_size = false);

void visit(std::optional<ArraySuffix>& array, const ExprVisitor& visitor)
{
    if (array && array->size)
        visit(*array->size, visitor, true);
}

void visit(Expr& expr, const ExprVisitor& visitor, bool in_array_size)
{
    visitor(expr, in_array_size);
    for (ExprPtr& operand : expr.operands)
        visit(*operand, visitor, in_array_size);
    visit(expr.array, visitor);
}

void visit(Declaration& declaration, const ExprVisitor& visitor)
{
    visit(declaration.type.array, visitor);
    for (Declarator& declarator : declaration.declarators)
    {
        visit(declarator.array, visitor);
        if (declarator.initializer)
            visit(*declarator.initializer, visitor);
    }
}

void visit(Stmt& stmt, const ExprVisitor& visitor)
{
    if (stmt.declaration)
        visit(*stmt.declaration, visitor);
    if (stmt.expr)
        visit(*stmt.expr, visitor);
    if (stmt.step)
        visit(*stmt.step, visitor);
    for (StmtPtr& child : stmt.children)
        visit(*child, visitor);
}

// Every expression of the program, array sizes included.
void visit(Program& program, const ExprVisitor& visitor)
{
    for (External& external : program.externals)
    {
        if (external.declaration)
            visit(*external.declaration, visitor);
        if (external.structure)
            for (StructMember& member : external.structure->members)
            {
                visit(member.type.array, visitor);
                for (MemberName& name : member.names)
                    visit(name.array, visitor);
            }
        if (external.function)
        {
            visit(external.function->result.array, visitor);
            for (Parameter& parameter : external.function->parameters)
            {
                visit(parameter.type.array, visitor);
                visit(parameter.array, visitor);
            }
            if (external.function->body)
                visit(*external.function->body, visitor);
        }
    }
}

// Every declaration of the program, stage-level and local, for-loop initialisers included.
void for_each_declaration(Stmt& stmt, const std::function<void(Declaration&)>& action)
{
    if (stmt.declaration)
        action(*stmt.declaration);
    for (StmtPtr& child : stmt.children)
        for_each_declaration(*child, action);
}

void for_each_declaration(Program& program, const std::function<void(Declaration&)>& action)
{
    for (External& external : program.externals)
    {
        if (external.declaration)
            action(*external.declaration);
        if (external.function && external.function->body)
            for_each_declaration(*external.function->body, action);
    }
}

bool has_layout(const Type& type)
{
    return std::any_of(type.qualifiers.begin(), type.qualifiers.end(),
                       [](const std::string& qualifier) { return qualifier.starts_with("layout"); });
}

// Two declarations that may be written as one: the same qualifiers and type, no array on the
// type itself (its size may differ), and no layout, which may place each name on its own.
bool share_declared_type(const Declaration& a, const Declaration& b)
{
    return a.type.qualifiers == b.type.qualifiers && a.type.name == b.type.name && !a.type.array
        && !b.type.array && !has_layout(a.type);
}

// Folds each run of same-typed declarations into the first: "float a=1.;float b=a;" becomes
// "float a=1.,b=a;". Each name still enters its scope before the next initializer is evaluated.
template <class Item>
void merge_runs(std::vector<Item>& items, const std::function<Declaration*(Item&)>& declaration_of)
{
    std::vector<Item> merged;
    for (Item& item : items)
    {
        Declaration* declaration = declaration_of(item);
        Declaration* previous = merged.empty() ? nullptr : declaration_of(merged.back());
        if (declaration && previous && share_declared_type(*previous, *declaration))
            std::move(declaration->declarators.begin(), declaration->declarators.end(),
                      std::back_inserter(previous->declarators));
        else
            merged.push_back(std::move(item));
    }
    items = std::move(merged);
}

void merge_declarations_in(Stmt& stmt)
{
    for (StmtPtr& child : stmt.children)
        merge_declarations_in(*child);
    if (stmt.kind == StmtKind::Block)
        merge_runs<StmtPtr>(stmt.children, [](StmtPtr& child) {
            return child->kind == StmtKind::Declaration ? child->declaration.get() : nullptr;
        });
}

bool is_float_constructor(const Expr& callee)
{
    static const std::set<std::string, std::less<>> names = {
        "float", "vec2", "vec3", "vec4", "mat2", "mat3", "mat4", "mat2x2", "mat2x3",
        "mat2x4", "mat3x2", "mat3x3", "mat3x4", "mat4x2", "mat4x3", "mat4x4",
    };
    return callee.kind == ExprKind::Name && !callee.symbol && names.contains(callee.text);
}

bool is_float_constructor_call(const Expr& expr)
{
    return expr.kind == ExprKind::Call && !expr.array && is_float_constructor(*expr.operands[0]);
}

// The integer literal that converts to exactly the value of a float literal, where one exists
// and is shorter; empty otherwise. Integers up to 2^24 are exact in single precision.
std::string integer_spelling(const std::string& literal)
{
    bool is_float = literal.find_first_of(".eE") != std::string::npos && !literal.starts_with("0x")
                 && !literal.starts_with("0X") && !literal.ends_with("lf") && !literal.ends_with("LF");
    if (!is_float)
        return {};
    double value = std::stod(literal);
    if (value != std::floor(value) || value >= 16777216.0)
        return {};
    std::string integer = std::to_string(static_cast<long>(value));
    return integer.size() < shortest_number(literal).size() ? integer : std::string();
}

void use_integer_spelling(Expr& expr, bool negated)
{
    if (expr.kind == ExprKind::Literal)
    {
        std::string integer = integer_spelling(expr.text);
        if (!integer.empty() && !(negated && integer == "0"))
            expr.text = integer;
    }
    else if (expr.kind == ExprKind::Prefix && expr.text == "-")
        use_integer_spelling(*expr.operands[0], true);
}

const std::set<std::string, std::less<>> float_types = {"float", "vec2", "vec3", "vec4"};

// A value spelt out with literals, so the same whether folded at compile time or computed.
bool is_literal_value(const Expr& expr)
{
    if (expr.kind == ExprKind::Literal)
        return true;
    if (expr.kind == ExprKind::Prefix && expr.text == "-")
        return is_literal_value(*expr.operands[0]);
    return is_float_constructor_call(expr) && float_types.contains(expr.operands[0]->text)
        && std::all_of(expr.operands.begin() + 1, expr.operands.end(),
                       [](const ExprPtr& operand) { return is_literal_value(*operand); });
}

bool is_const_literal_global(const Declaration& declaration)
{
    return declaration.type.qualifiers == std::vector<std::string>{"const"} && !declaration.type.array
        && float_types.contains(declaration.type.name)
        && std::all_of(declaration.declarators.begin(), declaration.declarators.end(), [](const Declarator& d) {
               return !d.array && d.initializer && is_literal_value(*d.initializer);
           });
}

void collect_names(Expr& expr, std::set<const Symbol*>& names)
{
    visit(expr, [&](Expr& inner, bool) {
        if (inner.symbol)
            names.insert(inner.symbol);
    });
}

} // namespace

void merge_declarations(Program& program)
{
    for (External& external : program.externals)
        if (external.function && external.function->body)
            merge_declarations_in(*external.function->body);
    merge_runs<External>(program.externals, [](External& external) { return external.declaration.get(); });
}

void use_integer_constructor_arguments(Program& program)
{
    visit(program, [](Expr& expr, bool) {
        if (is_float_constructor_call(expr))
            for (std::size_t i = 1; i < expr.operands.size(); ++i)
                use_integer_spelling(*expr.operands[i], false);
    });
}

void drop_const_from_literal_globals(Program& program)
{
    std::vector<Declaration*> candidates;
    for (External& external : program.externals)
        if (external.declaration && is_const_literal_global(*external.declaration))
            candidates.push_back(external.declaration.get());

    // Names that a constant expression needs: array sizes, and initializers of what stays const.
    std::set<const Symbol*> needed_as_constants;
    visit(program, [&](Expr& expr, bool in_array_size) {
        if (in_array_size && expr.symbol)
            needed_as_constants.insert(expr.symbol);
    });
    for (bool changed = true; changed;)
    {
        changed = false;
        for_each_declaration(program, [&](Declaration& declaration) {
            bool stays_const = std::find(declaration.type.qualifiers.begin(), declaration.type.qualifiers.end(),
                                         "const") != declaration.type.qualifiers.end()
                            && std::find(candidates.begin(), candidates.end(), &declaration) == candidates.end();
            if (stays_const)
                for (Declarator& declarator : declaration.declarators)
                    if (declarator.initializer)
                        collect_names(*declarator.initializer, needed_as_constants);
        });
        std::erase_if(candidates, [&](Declaration* candidate) {
            bool needed = std::any_of(candidate->declarators.begin(), candidate->declarators.end(),
                                      [&](const Declarator& d) { return needed_as_constants.contains(d.symbol); });
            changed = changed || needed;
            return needed;
        });
    }
    for (Declaration* declaration : candidates)
        declaration->type.qualifiers.clear();
}

} // namespace shader_packer::glsl
