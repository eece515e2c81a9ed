// The GLSL tree's shared pieces: operator precedence for the parser and the printer, copies of
// expressions, and the walks over statements, expressions and declarations.
#include "glsl_syntax.h"

#include <array>
#include <cstdint>
#include <map>
#include <utility>

namespace shader_packer::glsl {

namespace {

constexpr std::array<std::pair<std::string_view, int>, 19> binary_levels = {{
    {"||", 4},  {"^^", 5},  {"&&", 6},  {"|", 7},   {"^", 8},  {"&", 9},  {"==", 10}, {"!=", 10}, {"<", 11}, {">", 11},
    {"<=", 11}, {">=", 11}, {"<<", 12}, {">>", 12}, {"+", 13}, {"-", 13}, {"*", 14},  {"/", 14},  {"%", 14},
}};

constexpr std::array<std::string_view, 11> assignment_operators = {
    "=", "+=", "-=", "*=", "/=", "%=", "<<=", ">>=", "&=", "^=", "|=",
};

} // namespace

int binary_operator_level(std::string_view op)
{
    for (auto [text, level] : binary_levels)
        if (text == op)
            return level;
    return 0;
}

bool is_assignment_operator(std::string_view op)
{
    for (std::string_view text : assignment_operators)
        if (text == op)
            return true;
    return false;
}

int Expr::level() const
{
    switch (kind)
    {
    case ExprKind::Name:
    case ExprKind::Literal:
    case ExprKind::InitList:
        return level::primary;
    case ExprKind::Call:
    case ExprKind::Index:
    case ExprKind::Field:
    case ExprKind::Postfix:
        return level::postfix;
    case ExprKind::Prefix:
        return level::prefix;
    case ExprKind::Conditional:
        return level::conditional;
    case ExprKind::Binary:
        break;
    }
    if (text == ",")
        return level::comma;
    if (is_assignment_operator(text))
        return level::assignment;
    return binary_operator_level(text);
}

namespace {

std::optional<ArraySuffix> clone(const std::optional<ArraySuffix>& array)
{
    if (!array)
        return std::nullopt;
    ArraySuffix copy;
    for (const ExprPtr& size : array->sizes)
        copy.sizes.push_back(size ? clone(*size) : nullptr);
    return copy;
}

} // namespace

ExprPtr clone(const Expr& expr)
{
    auto copy = std::make_unique<Expr>();
    copy->kind = expr.kind;
    copy->text = expr.text;
    copy->symbol = expr.symbol;
    for (const ExprPtr& operand : expr.operands)
        copy->operands.push_back(clone(*operand));
    copy->array = clone(expr.array);
    copy->line = expr.line;
    return copy;
}

namespace {

ExprPtr clone_if(const ExprPtr& expr)
{
    return expr ? clone(*expr) : nullptr;
}

StmtPtr clone_if(const StmtPtr& stmt)
{
    return stmt ? clone(*stmt) : nullptr;
}

} // namespace

Type clone(const Type& type)
{
    return {type.qualifiers, type.name, type.symbol, clone(type.array), type.line};
}

std::unique_ptr<Struct> clone(const Struct& structure)
{
    auto copy = std::make_unique<Struct>();
    copy->symbol = structure.symbol;
    for (const StructMember& member : structure.members)
    {
        StructMember& copied = copy->members.emplace_back(StructMember{clone(member.type), {}});
        for (const MemberName& name : member.names)
            copied.names.push_back({name.symbol, clone(name.array)});
    }
    copy->qualifiers = structure.qualifiers;
    if (structure.instance)
        copy->instance =
            Declarator{structure.instance->symbol, clone(structure.instance->array), nullptr, structure.instance->line};
    return copy;
}

StmtPtr make_stmt(StmtKind kind)
{
    auto stmt = std::make_unique<Stmt>();
    stmt->kind = kind;
    return stmt;
}

StmtPtr clone(const Stmt& stmt)
{
    auto copy = std::make_unique<Stmt>();
    copy->kind = stmt.kind;
    for (const StmtPtr& inner : stmt.statements)
        copy->statements.push_back(clone(*inner));
    if (stmt.declaration)
    {
        copy->declaration = std::make_unique<Declaration>();
        copy->declaration->type = clone(stmt.declaration->type);
        for (const Declarator& declarator : stmt.declaration->declarators)
            copy->declaration->declarators.push_back(
                {declarator.symbol, clone(declarator.array), clone_if(declarator.initializer), declarator.line});
        if (stmt.declaration->structure)
            copy->declaration->structure = clone(*stmt.declaration->structure);
    }
    copy->expr = clone_if(stmt.expr);
    copy->condition = clone_if(stmt.condition);
    copy->init = clone_if(stmt.init);
    copy->step = clone_if(stmt.step);
    copy->body = clone_if(stmt.body);
    copy->then_branch = clone_if(stmt.then_branch);
    copy->else_branch = clone_if(stmt.else_branch);
    copy->text = stmt.text;
    copy->words = stmt.words;
    copy->line = stmt.line;
    return copy;
}

void for_each_substatement(Stmt& stmt, const std::function<void(Stmt&)>& action)
{
    for (StmtPtr& inner : stmt.statements)
        action(*inner);
    for (StmtPtr* inner : {&stmt.init, &stmt.then_branch, &stmt.else_branch, &stmt.body})
        if (*inner)
            action(**inner);
}

std::string struct_type_name(const Symbol& structure)
{
    return structure.name + "@" + std::to_string(reinterpret_cast<std::uintptr_t>(&structure));
}

std::string type_name(const Type& type, const std::optional<ArraySuffix>& array)
{
    std::string name = type.symbol ? struct_type_name(*type.symbol) : type.name;
    for (const std::optional<ArraySuffix>* suffix : {&type.array, &array})
        for (std::size_t i = 0; *suffix && i < (*suffix)->sizes.size(); ++i)
            name += "[]";
    return name;
}

namespace {

void visit(Expr& expr, const ExprVisitor& visitor, bool in_array_size);

void visit(std::optional<ArraySuffix>& array, const ExprVisitor& visitor)
{
    for (std::size_t i = 0; array && i < array->sizes.size(); ++i)
        if (array->sizes[i])
            visit(*array->sizes[i], visitor, true);
}

void visit(Expr& expr, const ExprVisitor& visitor, bool in_array_size)
{
    visitor(expr, in_array_size);
    for (ExprPtr& operand : expr.operands)
        visit(*operand, visitor, in_array_size);
    visit(expr.array, visitor);
}

void visit(Struct& structure, const ExprVisitor& visitor)
{
    for (StructMember& member : structure.members)
    {
        visit(member.type.array, visitor);
        for (MemberName& name : member.names)
            visit(name.array, visitor);
    }
    if (structure.instance)
        visit(structure.instance->array, visitor);
}

void visit(Declaration& declaration, const ExprVisitor& visitor)
{
    if (declaration.structure)
        visit(*declaration.structure, visitor);
    visit(declaration.type.array, visitor);
    for (Declarator& declarator : declaration.declarators)
    {
        visit(declarator.array, visitor);
        if (declarator.initializer)
            visit(*declarator.initializer, visitor, false);
    }
}

void visit(Stmt& stmt, const ExprVisitor& visitor)
{
    if (stmt.declaration)
        visit(*stmt.declaration, visitor);
    for (ExprPtr* expr : {&stmt.expr, &stmt.condition, &stmt.step})
        if (*expr)
            visit(**expr, visitor, false);
    for_each_substatement(stmt, [&](Stmt& inner) { visit(inner, visitor); });
}

} // namespace

void for_each_expression(Stmt& stmt, const std::function<void(Expr&)>& action)
{
    if (stmt.declaration)
        for (Declarator& declarator : stmt.declaration->declarators)
            if (declarator.initializer)
                action(*declarator.initializer);
    for (ExprPtr* expr : {&stmt.expr, &stmt.condition})
        if (*expr)
            action(**expr);
    for_each_substatement(stmt, [&](Stmt& inner) { for_each_expression(inner, action); });
    if (stmt.step)
        action(*stmt.step);
}

void for_each_declaration(Stmt& stmt, const std::function<void(Declaration&)>& action)
{
    if (stmt.declaration)
        action(*stmt.declaration);
    for_each_substatement(stmt, [&](Stmt& inner) { for_each_declaration(inner, action); });
}

void visit_expressions(Expr& expr, const ExprVisitor& visitor)
{
    visit(expr, visitor, false);
}

void visit_expressions(Program& program, const ExprVisitor& visitor)
{
    for (External& external : program.externals)
    {
        if (external.declaration)
            visit(*external.declaration, visitor);
        if (external.structure)
            visit(*external.structure, visitor);
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

namespace {

void count_type(const Type& type, std::map<const Symbol*, int>& uses)
{
    if (type.symbol)
        ++uses[type.symbol];
}

// A struct's name, and its members' names and types.
void count_struct(const Struct& structure, std::map<const Symbol*, int>& uses)
{
    ++uses[structure.symbol];
    for (const StructMember& member : structure.members)
    {
        count_type(member.type, uses);
        for (const MemberName& name : member.names)
            ++uses[name.symbol];
    }
}

void count_declaration(const Declaration& declaration, std::map<const Symbol*, int>& uses)
{
    if (declaration.structure)
        count_struct(*declaration.structure, uses);
    count_type(declaration.type, uses);
    for (const Declarator& declarator : declaration.declarators)
        ++uses[declarator.symbol];
}

void collect_locals(Stmt& stmt, FunctionScope& scope)
{
    for_each_declaration(stmt, [&](Declaration& declaration) {
        if (declaration.structure)
            scope.locals.push_back(declaration.structure->symbol);
        for (const Declarator& declarator : declaration.declarators)
            scope.locals.push_back(declarator.symbol);
    });
}

} // namespace

void recount_symbols(Program& program)
{
    std::map<const Symbol*, int> uses;
    std::set<const Symbol*> stage_level;
    program.function_scopes.clear();
    for (External& external : program.externals)
    {
        if (external.structure)
        {
            count_struct(*external.structure, uses);
            for (const StructMember& member : external.structure->members)
                for (const MemberName& name : member.names)
                    if (name.symbol->kind == SymbolKind::Variable)
                        stage_level.insert(name.symbol);
            if (external.structure->instance)
            {
                ++uses[external.structure->instance->symbol];
                stage_level.insert(external.structure->instance->symbol);
            }
        }
        if (external.declaration)
        {
            count_declaration(*external.declaration, uses);
            for (const Declarator& declarator : external.declaration->declarators)
                stage_level.insert(declarator.symbol);
        }
        if (external.function)
        {
            Function& function = *external.function;
            ++uses[function.symbol];
            stage_level.insert(function.symbol);
            count_type(function.result, uses);
            for (const Parameter& parameter : function.parameters)
            {
                count_type(parameter.type, uses);
                if (parameter.symbol)
                    ++uses[parameter.symbol];
            }
            if (function.body)
            {
                FunctionScope& scope = program.function_scopes.emplace_back();
                for (const Parameter& parameter : function.parameters)
                    scope.locals.push_back(parameter.symbol);
                collect_locals(*function.body, scope);
                for_each_declaration(*function.body,
                                     [&](Declaration& declaration) { count_declaration(declaration, uses); });
                visit(*function.body, [&](Expr& expr, bool) {
                    if (expr.kind == ExprKind::Name && expr.symbol && stage_level.contains(expr.symbol))
                        scope.globals.insert(expr.symbol);
                });
            }
        }
    }
    visit_expressions(program, [&](Expr& expr, bool) {
        if (expr.symbol && (expr.kind == ExprKind::Name || expr.kind == ExprKind::Field))
            ++uses[expr.symbol];
    });
    for (Symbol& symbol : program.symbols)
        symbol.uses = uses[&symbol];
}

} // namespace shader_packer::glsl
