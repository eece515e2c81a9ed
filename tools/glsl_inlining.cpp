// Inlining passes of the shader packer: single-use locals written where they are read, each step
// checked against the effects of the code it moves past.
#include "glsl_inlining.h"

#include "glsl_effects.h"
#include "glsl_type_inference.h"

#include <algorithm>
#include <functional>

namespace shader_packer::glsl {

namespace {

// Every block of every function body, outer blocks before inner ones.
void for_each_block(Stmt& stmt, const std::function<void(Stmt&)>& action)
{
    if (stmt.kind == StmtKind::Block)
        action(stmt);
    for_each_substatement(stmt, [&](Stmt& inner) { for_each_block(inner, action); });
}

bool declares_kept_names(Function& function)
{
    bool kept = std::any_of(function.parameters.begin(), function.parameters.end(),
                            [](const Parameter& parameter) { return parameter.symbol && parameter.symbol->kept; });
    for_each_declaration(*function.body, [&](Declaration& declaration) {
        for (const Declarator& declarator : declaration.declarators)
            kept = kept || declarator.symbol->kept;
    });
    return kept;
}

// Every block of every function body that declares no kept name: a kept local would hide the
// global of its name from code moved past its declaration, or into its function.
void for_each_block(Program& program, const std::function<void(Stmt&)>& action)
{
    for (External& external : program.externals)
        if (external.function && external.function->body && !declares_kept_names(*external.function))
            for_each_block(*external.function->body, action);
}

// The expressions of a statement that run once each time the statement does, in order.
std::vector<Expr*> run_once(Stmt& stmt)
{
    std::vector<Expr*> expressions;
    switch (stmt.kind)
    {
    case StmtKind::Expression:
    case StmtKind::Return:
        if (stmt.expr)
            expressions.push_back(stmt.expr.get());
        break;
    case StmtKind::If:
        expressions.push_back(stmt.condition.get());
        break;
    case StmtKind::Declaration:
        for (Declarator& declarator : stmt.declaration->declarators)
            if (declarator.initializer)
                expressions.push_back(declarator.initializer.get());
        break;
    default:
        break;
    }
    return expressions;
}

// Every name of symbol in expr.
std::vector<Expr*> references(Expr& expr, const Symbol* symbol)
{
    std::vector<Expr*> found;
    visit_expressions(expr, [&](Expr& inner, bool) {
        if (inner.kind == ExprKind::Name && inner.symbol == symbol)
            found.push_back(&inner);
    });
    return found;
}

bool refers_to(Stmt& stmt, const Symbol* symbol)
{
    bool found = false;
    std::function<void(Stmt&)> search = [&](Stmt& inner) {
        if (inner.declaration)
            for (Declarator& declarator : inner.declaration->declarators)
                if (declarator.initializer && !references(*declarator.initializer, symbol).empty())
                    found = true;
        for (ExprPtr* expr : {&inner.expr, &inner.condition, &inner.step})
            if (*expr && !references(**expr, symbol).empty())
                found = true;
        for_each_substatement(inner, search);
    };
    search(stmt);
    return found;
}

bool has_only_qualifiers(const Type& type, std::initializer_list<std::string_view> allowed)
{
    return std::all_of(type.qualifiers.begin(), type.qualifiers.end(), [&](const std::string& qualifier) {
        return std::find(allowed.begin(), allowed.end(), qualifier) != allowed.end();
    });
}

// Replaces the read of a single-use local with its initializer; false where none qualifies.
bool substitute_one_local(Program& program)
{
    TypeInference types(program);
    EffectAnalysis effects(program);
    bool done = false;
    for_each_block(program, [&](Stmt& block) {
        for (std::size_t i = 0; i < block.statements.size() && !done; ++i)
        {
            Stmt& declaring = *block.statements[i];
            if (declaring.kind != StmtKind::Declaration)
                continue;
            Declaration& declaration = *declaring.declaration;
            if (!has_only_qualifiers(declaration.type, {"const"}) || declaration.type.array)
                continue;
            for (std::size_t d = 0; d < declaration.declarators.size() && !done; ++d)
            {
                Declarator& declarator = declaration.declarators[d];
                const Symbol* variable = declarator.symbol;
                if (variable->kept || variable->uses != 2 || declarator.array || !declarator.initializer ||
                    types.type_of(*declarator.initializer) != declaration.type.name)
                    continue;
                Effects value = effects.of(*declarator.initializer);
                if (!value.pure())
                    continue;
                Effects between;
                for (std::size_t later = d + 1; later < declaration.declarators.size(); ++later)
                    if (declaration.declarators[later].initializer)
                        between.add(effects.of(*declaration.declarators[later].initializer));
                for (std::size_t j = i + 1; j < block.statements.size(); ++j)
                {
                    Stmt& statement = *block.statements[j];
                    Expr* read = nullptr;
                    Effects part;
                    for (Expr* expr : run_once(statement))
                    {
                        std::vector<Expr*> found = references(*expr, variable);
                        if (!found.empty())
                            read = found[0];
                        part.add(effects.of(*expr));
                    }
                    if (!read)
                    {
                        if (refers_to(statement, variable))
                            break;
                        between.add(effects.of(statement));
                        continue;
                    }
                    between.add(part);
                    if (between.opaque || between.writes_any_of(value.reads) || part.writes.contains(variable))
                        break;
                    *read = std::move(*declarator.initializer);
                    declaration.declarators.erase(declaration.declarators.begin() + d);
                    if (declaration.declarators.empty())
                        block.statements.erase(block.statements.begin() + i);
                    done = true;
                    break;
                }
            }
        }
    });
    if (done)
        recount_symbols(program);
    return done;
}

// "T v=I;v=R;" with R reading v once becomes "T v=R;" with I in place of that read.
bool fold_one_reassignment(Program& program)
{
    TypeInference types(program);
    EffectAnalysis effects(program);
    bool done = false;
    for_each_block(program, [&](Stmt& block) {
        for (std::size_t i = 0; i + 1 < block.statements.size() && !done; ++i)
        {
            Stmt& declaring = *block.statements[i];
            Stmt& assigning = *block.statements[i + 1];
            if (declaring.kind != StmtKind::Declaration || assigning.kind != StmtKind::Expression)
                continue;
            Declaration& declaration = *declaring.declaration;
            Declarator& declarator = declaration.declarators.back();
            Expr& assignment = *assigning.expr;
            if (!declaration.type.qualifiers.empty() || declaration.type.array || declarator.array ||
                !declarator.initializer || declarator.symbol->kept ||
                types.type_of(*declarator.initializer) != declaration.type.name ||
                assignment.kind != ExprKind::Binary || assignment.text != "=" ||
                assignment.operands[0]->kind != ExprKind::Name || assignment.operands[0]->symbol != declarator.symbol)
                continue;
            Expr& value = *assignment.operands[1];
            std::vector<Expr*> reads = references(value, declarator.symbol);
            if (reads.size() != 1 || !effects.of(*declarator.initializer).pure() || !effects.of(value).pure())
                continue;
            *reads[0] = std::move(*declarator.initializer);
            declarator.initializer = std::move(assignment.operands[1]);
            block.statements.erase(block.statements.begin() + i + 1);
            done = true;
        }
    });
    if (done)
        recount_symbols(program);
    return done;
}

} // namespace

void substitute_single_use_locals(Program& program)
{
    while (substitute_one_local(program) || fold_one_reassignment(program))
    {}
}

} // namespace shader_packer::glsl
