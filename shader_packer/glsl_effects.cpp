// Effects of GLSL code: variables read and written, through assignments, increments, out
// parameters and the functions called, and whatever else a built-in may do.
#include "glsl_effects.h"

#include "glsl_vocabulary.h"

#include <algorithm>

namespace shader_packer::glsl {

namespace {

bool is_output_parameter(const Type& type)
{
    return std::any_of(type.qualifiers.begin(), type.qualifiers.end(),
                       [](const std::string& qualifier) { return qualifier == "out" || qualifier == "inout"; });
}

bool same(const Effects& a, const Effects& b)
{
    return a.reads == b.reads && a.writes == b.writes && a.opaque == b.opaque;
}

} // namespace

bool Effects::writes_any_of(const std::set<const Symbol*>& variables) const
{
    return std::any_of(writes.begin(), writes.end(),
                       [&](const Symbol* written) { return variables.contains(written); });
}

void Effects::add(const Effects& other)
{
    reads.insert(other.reads.begin(), other.reads.end());
    writes.insert(other.writes.begin(), other.writes.end());
    opaque = opaque || other.opaque;
}

// GLSL has no recursion, so repeating the pass over all functions settles once it has gone as
// deep as calls nest.
EffectAnalysis::EffectAnalysis(const Program& program)
{
    std::set<const Symbol*> stage_level;
    for (const External& external : program.externals)
        if (external.declaration)
            for (const Declarator& declarator : external.declaration->declarators)
                stage_level.insert(declarator.symbol);
    for (const External& external : program.externals)
        if (external.function)
        {
            std::vector<bool> written;
            for (const Parameter& parameter : external.function->parameters)
                written.push_back(is_output_parameter(parameter.type));
            functions_[external.function->symbol].written_parameters.push_back(written);
        }
    for (bool changed = true; changed;)
    {
        changed = false;
        for (const External& external : program.externals)
            if (external.function && external.function->body)
            {
                Effects body = of(*external.function->body);
                std::erase_if(body.reads, [&](const Symbol* read) { return !stage_level.contains(read); });
                std::erase_if(body.writes, [&](const Symbol* written) { return !stage_level.contains(written); });
                Effects& known = functions_[external.function->symbol].stage_level;
                Effects merged = known;
                merged.add(body);
                changed = changed || !same(merged, known);
                known = merged;
            }
    }
}

Effects EffectAnalysis::of(const Expr& expr) const
{
    Effects effects;
    add(expr, effects);
    return effects;
}

Effects EffectAnalysis::of(const Stmt& stmt) const
{
    Effects effects;
    add(stmt, effects);
    return effects;
}

const Effects& EffectAnalysis::of_function(const Symbol* function) const
{
    return functions_.at(function).stage_level;
}

void EffectAnalysis::add(const Stmt& stmt, Effects& effects) const
{
    if (stmt.declaration)
        for (const Declarator& declarator : stmt.declaration->declarators)
            if (declarator.initializer)
                add(*declarator.initializer, effects);
    for (const ExprPtr* expr : {&stmt.expr, &stmt.condition, &stmt.step})
        if (*expr)
            add(**expr, effects);
    for (const StmtPtr& inner : stmt.statements)
        add(*inner, effects);
    for (const StmtPtr* inner : {&stmt.init, &stmt.then_branch, &stmt.else_branch, &stmt.body})
        if (*inner)
            add(**inner, effects);
}

void EffectAnalysis::add(const Expr& expr, Effects& effects) const
{
    if (expr.kind == ExprKind::Name && expr.symbol && expr.symbol->kind == SymbolKind::Variable)
        effects.reads.insert(expr.symbol);
    bool increment =
        (expr.kind == ExprKind::Prefix || expr.kind == ExprKind::Postfix) && (expr.text == "++" || expr.text == "--");
    if (increment || (expr.kind == ExprKind::Binary && is_assignment_operator(expr.text)))
        add_written(*expr.operands[0], effects);
    if (expr.kind == ExprKind::Call)
        add_call(expr, effects);
    for (const ExprPtr& operand : expr.operands)
        add(*operand, effects);
}

// Constructors build values; the program's functions do what their bodies do.
void EffectAnalysis::add_call(const Expr& call, Effects& effects) const
{
    const Expr& callee = *call.operands[0];
    if (callee.kind != ExprKind::Name)
    {
        effects.opaque = true; // a method such as array.length() is no concern of the passes
        return;
    }
    if (call.array || is_builtin_type(callee.text) || (callee.symbol && callee.symbol->kind == SymbolKind::Struct))
        return;
    auto function = callee.symbol ? functions_.find(callee.symbol) : functions_.end();
    if (function == functions_.end())
    {
        effects.opaque = effects.opaque || !is_pure_builtin_function(callee.text);
        return;
    }
    effects.add(function->second.stage_level);
    std::size_t arguments = call.operands.size() - 1;
    for (const std::vector<bool>& written : function->second.written_parameters)
        if (written.size() == arguments)
            for (std::size_t i = 0; i < arguments; ++i)
                if (written[i])
                    add_written(*call.operands[i + 1], effects);
}

// The variable at the root of an assigned expression: v, v.x, v[i].col.
void EffectAnalysis::add_written(const Expr& target, Effects& effects) const
{
    const Expr* root = &target;
    while (root->kind == ExprKind::Field || root->kind == ExprKind::Index)
        root = root->operands[0].get();
    if (root->kind == ExprKind::Name && root->symbol && root->symbol->kind == SymbolKind::Variable)
    {
        effects.writes.insert(root->symbol);
        effects.reads.insert(root->symbol);
    }
    else
        effects.opaque = true;
}

} // namespace shader_packer::glsl
