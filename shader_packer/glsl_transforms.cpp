// Tree rewrites before printing that shorten the compact form and leave every value the program
// computes as it was: constants written as their values, joined declarations, integer literals
// where the language converts them to float exactly, and literal-valued stage-level constants
// declared without "const".
#include "glsl_transforms.h"

#include "glsl_effects.h"
#include "glsl_numbers.h"
#include "glsl_printer.h"
#include "glsl_type_inference.h"
#include "glsl_vocabulary.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

namespace shader_packer::glsl {

namespace {

bool has_qualifiers_only_const(const Declaration& declaration)
{
    return declaration.type.qualifiers == std::vector<std::string>{"const"} && !declaration.type.array;
}

// A declarator that fold_literal_constants may write out at its uses.
bool is_literal_constant(const Declaration& declaration, const Declarator& declarator,
                         const std::set<const Symbol*>& written)
{
    bool constant =
        has_qualifiers_only_const(declaration) ||
        (declaration.type.qualifiers.empty() && !declaration.type.array && !written.contains(declarator.symbol));
    return constant && !declarator.symbol->kept && !declarator.symbol->conditional && !declarator.array &&
           declarator.initializer && literal_value_type(*declarator.initializer) == declaration.type.name;
}

// Every variable that some code of the program writes.
std::set<const Symbol*> written_variables(Program& program)
{
    EffectAnalysis effects(program);
    std::set<const Symbol*> written;
    for (External& external : program.externals)
    {
        Effects code;
        if (external.function && external.function->body)
            code = effects.of(*external.function->body);
        if (external.declaration)
            for (const Declarator& declarator : external.declaration->declarators)
                if (declarator.initializer)
                    code.add(effects.of(*declarator.initializer));
        written.insert(code.writes.begin(), code.writes.end());
    }
    return written;
}

// The value at each use against ",n=value" added to a declaration and one letter at each use.
bool folding_is_no_longer(const Declarator& declarator)
{
    std::size_t value = print_compact(*declarator.initializer).size();
    std::size_t uses = std::size_t(declarator.symbol->uses - 1);
    return uses * value <= 3 + value + uses;
}

bool has_layout(const Type& type)
{
    return std::any_of(type.qualifiers.begin(), type.qualifiers.end(),
                       [](const std::string& qualifier) { return qualifier.starts_with("layout"); });
}

bool redeclares_builtin(const Declaration& declaration)
{
    return std::any_of(declaration.declarators.begin(), declaration.declarators.end(),
                       [](const Declarator& declarator) { return declarator.symbol->name.starts_with("gl_"); });
}

// Two declarations that may be written as one: the same qualifiers and type, no array on the
// type itself (its size may differ), no layout, which may place each name on its own, and no
// built-in redeclared, which GLSL takes alone.
bool share_declared_type(const Declaration& a, const Declaration& b)
{
    return a.type.qualifiers == b.type.qualifiers && type_name(a.type, {}) == type_name(b.type, {}) && !a.type.array &&
           !b.type.array && !has_layout(a.type) && !redeclares_builtin(a) && !redeclares_builtin(b);
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
    for_each_substatement(stmt, merge_declarations_in);
    if (stmt.kind == StmtKind::Block)
        merge_runs<StmtPtr>(stmt.statements, [](StmtPtr& inner) {
            return inner->kind == StmtKind::Declaration ? inner->declaration.get() : nullptr;
        });
}

bool is_float_constructor_call(const Expr& expr)
{
    if (expr.kind != ExprKind::Call || expr.array)
        return false;
    const Expr& callee = *expr.operands[0];
    return callee.kind == ExprKind::Name && !callee.symbol && is_float_type(callee.text);
}

// The integer literal that converts to exactly the value of a float literal, where one exists
// and is shorter; empty otherwise. Integers up to 2^24 are exact in single precision.
std::string integer_spelling(const std::string& literal)
{
    if (literal_type(literal) != "float")
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

bool is_const_literal_global(const Declaration& declaration)
{
    return has_qualifiers_only_const(declaration) && is_float_type(declaration.type.name) &&
           std::all_of(declaration.declarators.begin(), declaration.declarators.end(), [](const Declarator& d) {
               return !d.array && d.initializer && !literal_value_type(*d.initializer).empty();
           });
}

void collect_names(Expr& expr, std::set<const Symbol*>& names)
{
    visit_expressions(expr, [&](Expr& inner, bool) {
        if (inner.symbol)
            names.insert(inner.symbol);
    });
}

// A float literal, perhaps negated, that a shorter integer literal may spell.
bool has_integer_spelling(const Expr& expr)
{
    if (expr.kind == ExprKind::Prefix && expr.text == "-")
        return has_integer_spelling(*expr.operands[0]);
    return expr.kind == ExprKind::Literal && !integer_spelling(expr.text).empty();
}

// Whether an expression reads a variable or calls one of the shader's functions: a value that
// built-in types and functions make of literals alone reads none.
bool reads_a_name(Expr& expr)
{
    bool found = false;
    visit_expressions(expr, [&](Expr& inner, bool) {
        found = found || (inner.kind == ExprKind::Name && (inner.symbol || inner.text.starts_with("gl_")));
    });
    return found;
}

// Rewrites the integral float literals of a program once their neighbours' types are known.
class IntegerOperands
{
public:
    IntegerOperands(Program& program, const std::set<std::string>& argument_functions)
        : types_(program), argument_functions_(argument_functions)
    {}

    void in(Expr& expr)
    {
        for (ExprPtr& operand : expr.operands)
            in(*operand);
        if (expr.kind == ExprKind::Call)
            in_arguments(expr);
        if (expr.kind != ExprKind::Binary)
            return;
        const std::string& op = expr.text;
        bool arithmetic = op == "+" || op == "-" || op == "*" || op == "/";
        bool comparison = op == "<" || op == ">" || op == "<=" || op == ">=" || op == "==" || op == "!=";
        bool assignment = op == "=" || op == "+=" || op == "-=" || op == "*=" || op == "/=";
        Expr& left = *expr.operands[0];
        Expr& right = *expr.operands[1];
        // Arithmetic converts an int to the float base of a vector or matrix too; comparisons and
        // assignments only to a float scalar, as a vector would not take a scalar there.
        auto takes_integer = [&](const Expr& other) {
            std::string type = types_.type_of(other);
            return arithmetic ? is_float_type(type) : type == "float";
        };
        if (!arithmetic && !comparison && !assignment)
            return;
        if (has_integer_spelling(right) && takes_integer(left))
            use_integer_spelling(right, false);
        else if (!assignment && has_integer_spelling(left) && takes_integer(right))
            use_integer_spelling(left, false);
    }

    void in(Declaration& declaration)
    {
        for (Declarator& declarator : declaration.declarators)
            if (declarator.initializer)
            {
                in(*declarator.initializer);
                if (type_name(declaration.type, declarator.array) == "float")
                    use_integer_spelling(*declarator.initializer, false);
            }
    }

    void in(Stmt& stmt, const std::string& result)
    {
        if (stmt.declaration)
            in(*stmt.declaration);
        for (ExprPtr* expr : {&stmt.expr, &stmt.condition, &stmt.step})
            if (*expr)
                in(**expr);
        if (stmt.kind == StmtKind::Return && stmt.expr && result == "float")
            use_integer_spelling(*stmt.expr, false);
        for_each_substatement(stmt, [&](Stmt& inner) { in(inner, result); });
    }

private:
    // The built-ins named take one base type in every argument: once one argument is certainly
    // a float, a float overload is the only one an int argument converts to. A float made of
    // literals alone is not certain enough: NVIDIA's compiler weighs it against its double and
    // half overloads as well, and finds a call that mixes one with an int literal ambiguous, so
    // where one stays fractional every literal stays a float.
    void in_arguments(Expr& call)
    {
        const Expr& callee = *call.operands[0];
        if (callee.symbol || callee.kind != ExprKind::Name || call.array || !argument_functions_.contains(callee.text))
            return;
        std::vector<ExprPtr>& arguments = call.operands;
        auto float_of_literals = [&](const ExprPtr& argument) {
            return is_float_type(types_.type_of(*argument)) && !reads_a_name(*argument);
        };
        bool float_argument = std::any_of(arguments.begin() + 1, arguments.end(), [&](const ExprPtr& argument) {
            return !float_of_literals(argument) && is_float_type(types_.type_of(*argument));
        });
        bool fractional_literal = std::any_of(arguments.begin() + 1, arguments.end(), [&](const ExprPtr& argument) {
            return float_of_literals(argument) && !has_integer_spelling(*argument);
        });
        if (float_argument && !fractional_literal)
            for (auto argument = arguments.begin() + 1; argument != arguments.end(); ++argument)
                use_integer_spelling(**argument, false);
    }

    TypeInference types_;
    const std::set<std::string>& argument_functions_;
};

} // namespace

void fold_literal_constants(Program& program)
{
    std::map<const Symbol*, const Expr*> values;
    std::set<const Symbol*> written = written_variables(program);
    for (External& external : program.externals)
        if (external.declaration)
            for (const Declarator& declarator : external.declaration->declarators)
                if (is_literal_constant(*external.declaration, declarator, written) && folding_is_no_longer(declarator))
                    values[declarator.symbol] = declarator.initializer.get();
    visit_expressions(program, [&](Expr& expr, bool) {
        auto value = values.find(expr.symbol);
        if (expr.kind == ExprKind::Name && value != values.end())
            expr = std::move(*clone(*value->second));
    });
    for (External& external : program.externals)
        if (external.declaration)
            std::erase_if(external.declaration->declarators,
                          [&](const Declarator& declarator) { return values.contains(declarator.symbol); });
    std::erase_if(program.externals, [](const External& external) {
        return external.declaration && external.declaration->declarators.empty();
    });
    for (Symbol& symbol : program.symbols)
        if (values.contains(&symbol))
            symbol.uses = 0;
}

void merge_declarations(Program& program)
{
    for (External& external : program.externals)
        if (external.function && external.function->body)
            merge_declarations_in(*external.function->body);
    merge_runs<External>(program.externals, [](External& external) { return external.declaration.get(); });
}

void use_integer_constructor_arguments(Program& program)
{
    visit_expressions(program, [](Expr& expr, bool) {
        if (is_float_constructor_call(expr))
            for (std::size_t i = 1; i < expr.operands.size(); ++i)
                use_integer_spelling(*expr.operands[i], false);
    });
}

bool converts_int_to_float_implicitly(const Program& program)
{
    for (const External& external : program.externals)
        if (external.directive.starts_with("#version "))
        {
            std::string_view version = std::string_view(external.directive).substr(9);
            return !version.ends_with(" es") && std::atoi(std::string(version).c_str()) >= 120;
        }
    return false;
}

void use_integer_operands_of_floats(Program& program, const std::set<std::string>& integer_argument_functions)
{
    if (!converts_int_to_float_implicitly(program))
        return;
    IntegerOperands rewrite(program, integer_argument_functions);
    for (External& external : program.externals)
    {
        if (external.declaration)
            rewrite.in(*external.declaration);
        if (external.function && external.function->body)
            rewrite.in(*external.function->body, type_name(external.function->result, {}));
    }
}

void drop_const_from_literal_globals(Program& program)
{
    std::vector<Declaration*> candidates;
    for (External& external : program.externals)
        if (external.declaration && is_const_literal_global(*external.declaration))
            candidates.push_back(external.declaration.get());

    // Names that a constant expression needs: array sizes, and initializers of what stays const.
    std::set<const Symbol*> needed_as_constants;
    visit_expressions(program, [&](Expr& expr, bool in_array_size) {
        if (in_array_size && expr.symbol)
            needed_as_constants.insert(expr.symbol);
    });
    for (bool changed = true; changed;)
    {
        changed = false;
        for_each_declaration(program, [&](Declaration& declaration) {
            bool stays_const = std::find(declaration.type.qualifiers.begin(), declaration.type.qualifiers.end(),
                                         "const") != declaration.type.qualifiers.end() &&
                               std::find(candidates.begin(), candidates.end(), &declaration) == candidates.end();
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
