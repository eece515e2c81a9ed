// Inlining passes of the shader packer: single-use locals, functions and shared arguments written
// where they are used, each step checked against the effects of the code it moves past.
#include "glsl_inlining.h"

#include "glsl_effects.h"
#include "glsl_lexer.h"
#include "glsl_printer.h"
#include "glsl_type_inference.h"

#include <algorithm>
#include <functional>

namespace shader_packer::glsl {

namespace {

ExprPtr make_name(const Symbol* symbol, int line)
{
    auto name = std::make_unique<Expr>();
    name->kind = ExprKind::Name;
    name->text = symbol->name;
    name->symbol = symbol;
    name->line = line;
    return name;
}

// Makes a change and keeps it where the program's compact text gets shorter; otherwise undoes it.
// Every inlining is tried this way: whether writing code where it is used pays depends on the
// whole text.
bool kept_if_shorter(const Program& program, const std::function<void()>& change, const std::function<void()>& undo)
{
    std::size_t before = compact_length(program);
    change();
    if (compact_length(program) < before)
        return true;
    undo();
    return false;
}

// Every block of every function body, outer blocks before inner ones.
void for_each_block(Stmt& stmt, const std::function<void(Stmt&)>& action)
{
    if (stmt.kind == StmtKind::Block)
        action(stmt);
    for_each_substatement(stmt, [&](Stmt& inner) { for_each_block(inner, action); });
}

// Names that keep their text whatever the renamer does, kept locals and structs, hide the
// globals of their names.
bool declares_hiding_names(Function& function)
{
    bool kept = std::any_of(function.parameters.begin(), function.parameters.end(),
                            [](const Parameter& parameter) { return parameter.symbol && parameter.symbol->kept; });
    for_each_declaration(*function.body, [&](Declaration& declaration) {
        kept = kept || declaration.structure;
        for (const Declarator& declarator : declaration.declarators)
            kept = kept || declarator.symbol->kept;
    });
    return kept;
}

// Every block of every function body that declares no hiding name: it would hide the global of
// its name from code moved past its declaration, or into its function.
void for_each_block(Program& program, const std::function<void(Stmt&)>& action)
{
    for (External& external : program.externals)
        if (external.function && external.function->body && !declares_hiding_names(*external.function))
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
    case StmtKind::Switch:
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
    for_each_expression(stmt, [&](Expr& expr) { found = found || !references(expr, symbol).empty(); });
    return found;
}

bool contains(const Expr& expr, const Expr* target)
{
    if (&expr == target)
        return true;
    return std::any_of(expr.operands.begin(), expr.operands.end(),
                       [&](const ExprPtr& operand) { return contains(*operand, target); });
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
            if (!has_only_qualifiers(declaration.type, {"const"}) || declaration.type.array || declaration.structure)
                continue;
            for (std::size_t d = 0; d < declaration.declarators.size() && !done; ++d)
            {
                Declarator& declarator = declaration.declarators[d];
                const Symbol* variable = declarator.symbol;
                if (variable->kept || variable->uses != 2 || declarator.array || !declarator.initializer ||
                    types.type_of(*declarator.initializer) != type_name(declaration.type, {}))
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
            if (declaring.kind != StmtKind::Declaration || assigning.kind != StmtKind::Expression ||
                declaring.declaration->declarators.empty())
                continue;
            Declaration& declaration = *declaring.declaration;
            Declarator& declarator = declaration.declarators.back();
            Expr& assignment = *assigning.expr;
            if (!declaration.type.qualifiers.empty() || declaration.type.array || declarator.array ||
                !declarator.initializer || declarator.symbol->kept ||
                types.type_of(*declarator.initializer) != type_name(declaration.type, {}) ||
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

bool defines_a_macro(std::string_view directive)
{
    return directive_name(directive) == "#define" || directive_name(directive) == "#undef";
}

bool defines_a_macro_inside(Stmt& stmt)
{
    bool found = stmt.kind == StmtKind::Directive && defines_a_macro(stmt.text);
    for_each_substatement(stmt, [&](Stmt& inner) { found = found || defines_a_macro_inside(inner); });
    return found;
}

// Whether the text defines or undefines a host's macro: code moved from a function to its calls,
// or an argument into its function, could pass such a definition and read a name otherwise.
bool defines_host_macros(Program& program)
{
    return std::any_of(program.externals.begin(), program.externals.end(), [](External& external) {
        return defines_a_macro(external.directive) ||
               (external.function && external.function->body && defines_a_macro_inside(*external.function->body));
    });
}

// A function of the program's that no other definition or prototype shares a name with.
bool is_sole_definition(const Program& program, const Function& function)
{
    const Symbol* symbol = function.symbol;
    if (!function.body || symbol->kept || symbol->signatures.size() != 1)
        return false;
    return std::none_of(program.externals.begin(), program.externals.end(), [&](const External& external) {
        return external.function && external.function->symbol == symbol && external.function.get() != &function;
    });
}

// A value that may be written more than once and still be the same cheap value: a name, a
// literal, or a field or element of such.
bool is_plain(const Expr& expr)
{
    switch (expr.kind)
    {
    case ExprKind::Name:
    case ExprKind::Literal:
        return true;
    case ExprKind::Prefix:
        return expr.text == "-" && expr.operands[0]->kind == ExprKind::Literal;
    case ExprKind::Field:
        return is_plain(*expr.operands[0]);
    case ExprKind::Index:
        return is_plain(*expr.operands[0]) && is_plain(*expr.operands[1]);
    default:
        return false;
    }
}

// A call of the function, where it stands: the block, and the statement of that block.
struct CallSite
{
    Expr* call;
    Stmt* block = nullptr;
    std::size_t statement = 0;
};

class FunctionInliner
{
public:
    FunctionInliner(Program& program, std::size_t index)
        : program_(program), index_(index), function_(*program.externals[index].function), types_(program),
          effects_(program)
    {}

    bool run()
    {
        if (!qualifies())
            return false;
        std::vector<CallSite> calls = find_calls();
        if (calls.empty() || !arguments_qualify(calls))
            return false;
        const Stmt& body = *function_.body;
        if (body.statements.size() == 1 && body.statements[0]->kind == StmtKind::Return && body.statements[0]->expr)
            return inline_expression(calls, *body.statements[0]->expr);
        return calls.size() == 1 && inline_body(calls[0]);
    }

private:
    std::string parameter_type(std::size_t i) const
    {
        return type_name(function_.parameters[i].type, function_.parameters[i].array);
    }

    bool qualifies() const
    {
        const Symbol* symbol = function_.symbol;
        if (!is_sole_definition(program_, function_) || function_.result.array || function_.result.name == "void")
            return false;
        for (const Parameter& parameter : function_.parameters)
            if (!parameter.symbol || parameter.array || parameter.type.array ||
                !has_only_qualifiers(parameter.type, {"in", "const"}))
                return false;
        return !declares_hiding_names(function_) && effects_.of_function(symbol).pure();
    }

    // Every call, each inside a function body; none where a call stands elsewhere.
    std::vector<CallSite> find_calls()
    {
        std::vector<CallSite> calls;
        auto is_call = [&](const Expr& expr) {
            return expr.kind == ExprKind::Call && expr.operands[0]->kind == ExprKind::Name &&
                   expr.operands[0]->symbol == function_.symbol;
        };
        int everywhere = 0;
        visit_expressions(program_, [&](Expr& expr, bool) { everywhere += is_call(expr); });
        for_each_block(program_, [&](Stmt& block) {
            for (std::size_t i = 0; i < block.statements.size(); ++i)
                for (Expr* expr : run_once(*block.statements[i]))
                    visit_expressions(*expr, [&](Expr& inner, bool) {
                        if (is_call(inner))
                            calls.push_back({&inner, &block, i});
                    });
        });
        // A call anywhere else (a loop's condition, a branch that is no block, a stage-level
        // initializer) has no site: all calls or none.
        if (static_cast<int>(calls.size()) != everywhere)
            return {};
        return calls;
    }

    bool arguments_qualify(const std::vector<CallSite>& calls) const
    {
        for (const CallSite& site : calls)
        {
            const Expr& call = *site.call;
            if (call.operands.size() != function_.parameters.size() + 1)
                return false;
            for (std::size_t i = 0; i < function_.parameters.size(); ++i)
            {
                const Expr& argument = *call.operands[i + 1];
                if (!effects_.of(argument).pure() || types_.type_of(argument) != parameter_type(i))
                    return false;
                for (const CallSite& other : calls)
                    if (contains(argument, other.call))
                        return false;
            }
        }
        return true;
    }

    // Replaces the names of the parameters in expr by copies of the call's arguments.
    void put_arguments(Expr& expr, const Expr& call, const std::vector<bool>& substituted) const
    {
        visit_expressions(expr, [&](Expr& inner, bool) {
            for (std::size_t i = 0; i < function_.parameters.size(); ++i)
                if (substituted[i] && inner.kind == ExprKind::Name && inner.symbol == function_.parameters[i].symbol)
                    inner = std::move(*clone(*call.operands[i + 1]));
        });
    }

    bool inline_expression(const std::vector<CallSite>& calls, const Expr& result)
    {
        if (types_.type_of(result) != type_name(function_.result, {}))
            return false;
        std::vector<bool> all(function_.parameters.size(), true);
        std::vector<std::size_t> reads;
        ExprPtr reader = clone(result);
        for (const Parameter& parameter : function_.parameters)
            reads.push_back(references(*reader, parameter.symbol).size());
        std::vector<ExprPtr> replacements;
        for (const CallSite& site : calls)
        {
            for (std::size_t i = 0; i < function_.parameters.size(); ++i)
                if (reads[i] > 1 && !is_plain(*site.call->operands[i + 1]))
                    return false;
            ExprPtr replacement = clone(result);
            put_arguments(*replacement, *site.call, all);
            replacements.push_back(std::move(replacement));
        }
        std::vector<Expr> originals;
        External removed;
        return kept_if_shorter(
            program_,
            [&] {
                for (std::size_t i = 0; i < calls.size(); ++i)
                {
                    originals.push_back(std::move(*calls[i].call));
                    *calls[i].call = std::move(*replacements[i]);
                }
                removed = std::move(program_.externals[index_]);
                program_.externals.erase(program_.externals.begin() + index_);
            },
            [&] {
                program_.externals.insert(program_.externals.begin() + index_, std::move(removed));
                for (std::size_t i = 0; i < calls.size(); ++i)
                    *calls[i].call = std::move(originals[i]);
            });
    }

    // Whether call runs exactly once whenever expr does, with everything else expr evaluates
    // pure, so that what the call runs may go before the statement.
    bool runs_once_among_pure(const Expr& expr, const Expr* call) const
    {
        if (&expr == call)
            return true;
        if (!contains(expr, call))
            return effects_.of(expr).pure();
        bool short_circuit = expr.kind == ExprKind::Binary && (expr.text == "&&" || expr.text == "||");
        for (std::size_t i = 0; i < expr.operands.size(); ++i)
        {
            const Expr& operand = *expr.operands[i];
            bool conditional = (short_circuit && i == 1) || (expr.kind == ExprKind::Conditional && i > 0);
            if (conditional && contains(operand, call))
                return false;
            if (!runs_once_among_pure(operand, call))
                return false;
        }
        return true;
    }

    // Turns each return inside the loop that ends the body into "local=value;break;", where
    // the final return gives that local; false where some return stands elsewhere.
    bool returns_to_breaks(Stmt& body) const
    {
        std::size_t returns = 0;
        count_returns(body, returns);
        if (returns == 1)
            return true;
        std::size_t size = body.statements.size();
        Expr& result = *body.statements[size - 1]->expr;
        if (size < 2 || result.kind != ExprKind::Name || !result.symbol || result.symbol->kind != SymbolKind::Variable)
            return false;
        Stmt& loop = *body.statements[size - 2];
        if (loop.kind != StmtKind::While && loop.kind != StmtKind::For && loop.kind != StmtKind::DoWhile)
            return false;
        std::size_t converted = 0;
        if (!break_out(*loop.body, *result.symbol, types_.type_of(result), converted))
            return false;
        return converted + 1 == returns;
    }

    static void count_returns(Stmt& stmt, std::size_t& returns)
    {
        returns += stmt.kind == StmtKind::Return;
        for_each_substatement(stmt, [&](Stmt& inner) { count_returns(inner, returns); });
    }

    // Through blocks and ifs only: a return in an inner loop would leave that loop alone.
    bool break_out(Stmt& stmt, const Symbol& local, const std::string& type, std::size_t& converted) const
    {
        if (stmt.kind == StmtKind::Return)
        {
            if (!stmt.expr || types_.type_of(*stmt.expr) != type)
                return false;
            // What stands for the return comes from the return's line.
            int line = stmt.line;
            auto assignment = std::make_unique<Expr>();
            assignment->kind = ExprKind::Binary;
            assignment->text = "=";
            assignment->line = line;
            assignment->operands.push_back(make_name(&local, line));
            assignment->operands.push_back(std::move(stmt.expr));
            StmtPtr assign = make_stmt(StmtKind::Expression);
            assign->expr = std::move(assignment);
            StmtPtr leave = make_stmt(StmtKind::Jump);
            leave->text = "break";
            stmt = Stmt{};
            stmt.kind = StmtKind::Block;
            stmt.line = assign->line = leave->line = line;
            stmt.statements.push_back(std::move(assign));
            stmt.statements.push_back(std::move(leave));
            ++converted;
            return true;
        }
        if (stmt.kind == StmtKind::Block || stmt.kind == StmtKind::If)
        {
            bool fine = true;
            for_each_substatement(stmt, [&](Stmt& inner) { fine = fine && break_out(inner, local, type, converted); });
            return fine;
        }
        std::size_t nested = 0;
        count_returns(stmt, nested);
        return nested == 0;
    }

    bool inline_body(const CallSite& site)
    {
        Stmt& block = *site.block;
        Stmt& statement = *block.statements[site.statement];
        std::size_t declarator_index = 0;
        const Expr* part = nullptr;
        if (statement.kind == StmtKind::Declaration)
        {
            std::vector<Declarator>& declarators = statement.declaration->declarators;
            while (!declarators[declarator_index].initializer ||
                   !contains(*declarators[declarator_index].initializer, site.call))
                ++declarator_index;
            part = declarators[declarator_index].initializer.get();
        }
        else
            part = run_once(statement)[0];
        if (!runs_once_among_pure(*part, site.call))
            return false;

        StmtPtr body = clone(*function_.body);
        Stmt& last = *body->statements.back();
        if (last.kind != StmtKind::Return || !last.expr ||
            types_.type_of(*last.expr) != type_name(function_.result, {}) || !returns_to_breaks(*body))
            return false;
        Effects written = effects_.of(*function_.body);
        std::vector<StmtPtr> hoisted;
        std::vector<bool> substituted(function_.parameters.size());
        for (std::size_t i = 0; i < function_.parameters.size(); ++i)
        {
            const Parameter& parameter = function_.parameters[i];
            const Expr& argument = *site.call->operands[i + 1];
            substituted[i] = is_plain(argument) && !written.writes.contains(parameter.symbol);
            if (substituted[i])
                continue;
            // The parameter's declaration as a local: written where the parameter is, its
            // initializer where the argument is.
            StmtPtr declaring = make_stmt(StmtKind::Declaration);
            declaring->line = parameter.symbol->line;
            declaring->declaration = std::make_unique<Declaration>();
            declaring->declaration->type = clone(parameter.type);
            declaring->declaration->type.qualifiers.clear();
            declaring->declaration->declarators.push_back(
                {parameter.symbol, std::nullopt, clone(argument), parameter.symbol->line});
            hoisted.push_back(std::move(declaring));
        }
        for_each_expression(*body, [&](Expr& expr) { put_arguments(expr, *site.call, substituted); });
        ExprPtr result = std::move(body->statements.back()->expr);
        body->statements.pop_back();
        for (StmtPtr& inner : body->statements)
            hoisted.push_back(std::move(inner));

        std::vector<StmtPtr> backup;
        for (const StmtPtr& inner : block.statements)
            backup.push_back(clone(*inner));
        External removed;
        return kept_if_shorter(
            program_,
            [&] {
                std::size_t at = site.statement;
                if (declarator_index > 0)
                {
                    std::vector<Declarator>& declarators = statement.declaration->declarators;
                    StmtPtr earlier = make_stmt(StmtKind::Declaration);
                    earlier->line = statement.line;
                    earlier->declaration = std::make_unique<Declaration>();
                    earlier->declaration->type = clone(statement.declaration->type);
                    std::move(declarators.begin(), declarators.begin() + declarator_index,
                              std::back_inserter(earlier->declaration->declarators));
                    declarators.erase(declarators.begin(), declarators.begin() + declarator_index);
                    block.statements.insert(block.statements.begin() + at++, std::move(earlier));
                }
                *site.call = std::move(*result);
                block.statements.insert(block.statements.begin() + at, std::make_move_iterator(hoisted.begin()),
                                        std::make_move_iterator(hoisted.end()));
                removed = std::move(program_.externals[index_]);
                program_.externals.erase(program_.externals.begin() + index_);
            },
            [&] {
                program_.externals.insert(program_.externals.begin() + index_, std::move(removed));
                block.statements = std::move(backup);
            });
    }

    Program& program_;
    std::size_t index_;
    Function& function_;
    TypeInference types_;
    EffectAnalysis effects_;
};

// The same tree, bound to the same symbols.
bool same_expression(const Expr& a, const Expr& b)
{
    if (a.kind != b.kind || a.text != b.text || a.symbol != b.symbol || a.operands.size() != b.operands.size() ||
        a.array.has_value() != b.array.has_value())
        return false;
    for (std::size_t i = 0; i < a.operands.size(); ++i)
        if (!same_expression(*a.operands[i], *b.operands[i]))
            return false;
    if (!a.array)
        return true;
    return std::equal(
        a.array->sizes.begin(), a.array->sizes.end(), b.array->sizes.begin(), b.array->sizes.end(),
        [](const ExprPtr& x, const ExprPtr& y) { return (!x && !y) || (x && y && same_expression(*x, *y)); });
}

// Writes the argument that every call passes for one parameter in place of the parameter, where
// the text gets shorter; false where the value could differ or the text would not shrink.
class SharedArgument
{
public:
    SharedArgument(Program& program, std::size_t function_index, std::size_t parameter)
        : program_(program), index_(function_index), function_(*program.externals[function_index].function),
          parameter_(parameter), types_(program), effects_(program)
    {}

    bool run()
    {
        if (!is_sole_definition(program_, function_) || declares_hiding_names(function_))
            return false;
        const Parameter& parameter = function_.parameters[parameter_];
        if (!parameter.symbol || parameter.array || parameter.type.array ||
            !has_only_qualifiers(parameter.type, {"in", "const"}) ||
            effects_.of(*function_.body).writes.contains(parameter.symbol))
            return false;
        visit_expressions(program_, [&](Expr& expr, bool) {
            if (expr.kind == ExprKind::Call && expr.operands[0]->symbol == function_.symbol)
                calls_.push_back(&expr);
        });
        if (calls_.empty())
            return false;
        const Expr& shared = *calls_[0]->operands[parameter_ + 1];
        for (const Expr* call : calls_)
            if (call->operands.size() != function_.parameters.size() + 1 ||
                !same_expression(*call->operands[parameter_ + 1], shared))
                return false;
        if (types_.type_of(shared) != type_name(parameter.type, parameter.array) ||
            (literal_value_type(shared).empty() && !is_steady_variable(shared)))
            return false;
        return write_in_place(shared);
    }

private:
    // A stage-level variable declared before the function that neither the function nor any
    // argument of a call writes: read in the body, it holds what it held at the call.
    bool is_steady_variable(const Expr& shared) const
    {
        if (shared.kind != ExprKind::Name || !shared.symbol || shared.symbol->kind != SymbolKind::Variable ||
            effects_.of_function(function_.symbol).writes.contains(shared.symbol))
            return false;
        bool declared_before = false;
        for (std::size_t i = 0; i < index_; ++i)
            if (const Declaration* declaration = program_.externals[i].declaration.get())
                for (const Declarator& declarator : declaration->declarators)
                    declared_before = declared_before || declarator.symbol == shared.symbol;
        for (const Expr* call : calls_)
            for (std::size_t i = 1; i < call->operands.size(); ++i)
            {
                Effects argument = effects_.of(*call->operands[i]);
                if (argument.opaque || argument.writes.contains(shared.symbol))
                    return false;
            }
        return declared_before;
    }

    bool write_in_place(const Expr& shared_argument)
    {
        ExprPtr shared = clone(shared_argument);
        StmtPtr original_body = clone(*function_.body);
        Parameter removed;
        std::vector<ExprPtr> arguments;
        bool kept = kept_if_shorter(
            program_,
            [&] {
                const Symbol* replaced = function_.parameters[parameter_].symbol;
                for_each_expression(*function_.body, [&](Expr& root) {
                    visit_expressions(root, [&](Expr& expr, bool) {
                        if (expr.kind == ExprKind::Name && expr.symbol == replaced)
                            expr = std::move(*clone(*shared));
                    });
                });
                removed = std::move(function_.parameters[parameter_]);
                function_.parameters.erase(function_.parameters.begin() + parameter_);
                for (Expr* call : calls_)
                {
                    arguments.push_back(std::move(call->operands[parameter_ + 1]));
                    call->operands.erase(call->operands.begin() + parameter_ + 1);
                }
            },
            [&] {
                for (std::size_t i = 0; i < calls_.size(); ++i)
                    calls_[i]->operands.insert(calls_[i]->operands.begin() + parameter_ + 1, std::move(arguments[i]));
                function_.parameters.insert(function_.parameters.begin() + parameter_, std::move(removed));
                *function_.body = std::move(*original_body);
            });
        if (kept)
        {
            Symbol& symbol = *std::find_if(program_.symbols.begin(), program_.symbols.end(),
                                           [&](const Symbol& own) { return &own == function_.symbol; });
            symbol.signatures[0].erase(symbol.signatures[0].begin() + parameter_);
        }
        return kept;
    }

    Program& program_;
    std::size_t index_;
    Function& function_;
    std::size_t parameter_;
    TypeInference types_;
    EffectAnalysis effects_;
    std::vector<Expr*> calls_;
};

} // namespace

void substitute_single_use_locals(Program& program)
{
    while (substitute_one_local(program) || fold_one_reassignment(program))
    {}
}

void inline_functions(Program& program)
{
    if (defines_host_macros(program))
        return;
    for (bool inlined = true; inlined;)
    {
        inlined = false;
        for (std::size_t index = 0; index < program.externals.size() && !inlined; ++index)
            if (program.externals[index].function && FunctionInliner(program, index).run())
            {
                recount_symbols(program);
                substitute_single_use_locals(program);
                inlined = true;
            }
    }
}

void write_shared_arguments_in_place(Program& program)
{
    if (defines_host_macros(program))
        return;
    for (bool written = true; written;)
    {
        written = false;
        for (std::size_t index = 0; index < program.externals.size() && !written; ++index)
        {
            Function* function = program.externals[index].function.get();
            for (std::size_t parameter = function ? function->parameters.size() : 0; parameter-- > 0 && !written;)
                written = SharedArgument(program, index, parameter).run();
        }
        if (written)
            recount_symbols(program);
    }
}

} // namespace shader_packer::glsl
