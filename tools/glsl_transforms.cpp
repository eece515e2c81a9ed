// Tree rewrites before printing that shorten the compact form and leave every value the program
// computes as it was: joined declarations, integer literals where the language converts them to
// float exactly, and literal-valued stage-level constants declared without "const".
#include "glsl_syntax.h"
#include "shader_packer.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
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
    return a.type.qualifiers == b.type.qualifiers && a.type.name == b.type.name && !a.type.array && !b.type.array &&
           !has_layout(a.type);
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
        "float",  "vec2",   "vec3",   "vec4",   "mat2",   "mat3",   "mat4",   "mat2x2",
        "mat2x3", "mat2x4", "mat3x2", "mat3x3", "mat3x4", "mat4x2", "mat4x3", "mat4x4",
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
    bool is_float = literal.find_first_of(".eE") != std::string::npos && !literal.starts_with("0x") &&
                    !literal.starts_with("0X") && !literal.ends_with("lf") && !literal.ends_with("LF");
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
    return is_float_constructor_call(expr) && float_types.contains(expr.operands[0]->text) &&
           std::all_of(expr.operands.begin() + 1, expr.operands.end(),
                       [](const ExprPtr& operand) { return is_literal_value(*operand); });
}

bool is_const_literal_global(const Declaration& declaration)
{
    return declaration.type.qualifiers == std::vector<std::string>{"const"} && !declaration.type.array &&
           float_types.contains(declaration.type.name) &&
           std::all_of(declaration.declarators.begin(), declaration.declarators.end(), [](const Declarator& d) {
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

bool float_based(const std::string& type)
{
    return type == "float" || type.starts_with("vec") || type.starts_with("mat");
}

// Types of the program's own names, functions and struct members, for telling where an operand
// is certainly a float scalar, vector or matrix. Types are names; an array's ends in "[]".
class TypeInference
{
public:
    explicit TypeInference(Program& program)
    {
        for_each_declaration(program, [&](Declaration& declaration) {
            for (const Declarator& declarator : declaration.declarators)
                variables_[declarator.symbol] = type_name(declaration.type, declarator.array);
        });
        for (External& external : program.externals)
        {
            if (external.structure)
                for (const StructMember& member : external.structure->members)
                    for (const MemberName& name : member.names)
                        members_[external.structure->name][name.name] = type_name(member.type, name.array);
            if (external.function)
            {
                Function& function = *external.function;
                results_[function.symbol].emplace_back(function.parameters.size(), type_name(function.result, {}));
                for (const Parameter& parameter : function.parameters)
                    if (parameter.symbol)
                        variables_[parameter.symbol] = type_name(parameter.type, parameter.array);
            }
        }
    }

    // The type of expr as the tree now stands, or empty where it is not certain.
    std::string type_of(const Expr& expr) const
    {
        switch (expr.kind)
        {
        case ExprKind::Literal:
            if (expr.text == "true" || expr.text == "false")
                return "bool";
            if (expr.text.ends_with("lf") || expr.text.ends_with("LF"))
                return {};
            if (expr.text.starts_with("0x") || expr.text.starts_with("0X"))
                return expr.text.ends_with("u") || expr.text.ends_with("U") ? "uint" : "int";
            if (expr.text.find_first_of(".eE") != std::string::npos)
                return "float";
            return expr.text.ends_with("u") || expr.text.ends_with("U") ? "uint" : "int";
        case ExprKind::Name:
            return expr.symbol && variables_.contains(expr.symbol) ? variables_.at(expr.symbol) : std::string();
        case ExprKind::Field:
            return field_type(type_of(*expr.operands[0]), expr.text);
        case ExprKind::Index:
            return element_type(type_of(*expr.operands[0]));
        case ExprKind::Prefix:
            return expr.text == "!" ? "bool" : type_of(*expr.operands[0]);
        case ExprKind::Postfix:
            return type_of(*expr.operands[0]);
        case ExprKind::Conditional:
        {
            std::string type = type_of(*expr.operands[1]);
            return type == type_of(*expr.operands[2]) ? type : std::string();
        }
        case ExprKind::Binary:
            return binary_type(expr);
        case ExprKind::Call:
            return call_type(expr);
        case ExprKind::InitList:
            return {};
        }
        return {};
    }

private:
    static std::string type_name(const Type& type, const std::optional<ArraySuffix>& array)
    {
        return type.name + (type.array || array ? "[]" : "");
    }

    std::string field_type(const std::string& base, const std::string& field) const
    {
        if (float_based(base) && !base.starts_with("mat"))
            return field.size() == 1 ? "float" : "vec" + std::to_string(field.size());
        auto structure = members_.find(base);
        if (structure == members_.end() || !structure->second.contains(field))
            return {};
        return structure->second.at(field);
    }

    static std::string element_type(const std::string& base)
    {
        if (base.ends_with("[]"))
            return base.substr(0, base.size() - 2);
        if (base.starts_with("vec"))
            return "float";
        return {};
    }

    std::string binary_type(const Expr& expr) const
    {
        const std::string& op = expr.text;
        std::string left = type_of(*expr.operands[0]), right = type_of(*expr.operands[1]);
        if (op == ",")
            return right;
        if (is_assignment_operator(op))
            return left;
        if (op != "+" && op != "-" && op != "*" && op != "/")
            return binary_operator_level(op) >= 7 && binary_operator_level(op) <= 9 ? std::string("bool")
                                                                                    : std::string();
        if (left.empty() || right.empty() || left.starts_with("mat") || right.starts_with("mat"))
            return {};
        if (left == right)
            return left;
        if (left == "int" && float_based(right))
            return right;
        if (right == "int" && float_based(left))
            return left;
        if (left == "float" && float_based(right))
            return right;
        if (right == "float" && float_based(left))
            return left;
        return {};
    }

    std::string call_type(const Expr& expr) const
    {
        const Expr& callee = *expr.operands[0];
        std::size_t arguments = expr.operands.size() - 1;
        if (expr.array)
            return {};
        if (callee.symbol)
        {
            auto overloads = results_.find(callee.symbol);
            if (overloads == results_.end())
                return {};
            std::string result;
            for (const auto& [parameters, type] : overloads->second)
                if (parameters == arguments)
                {
                    if (!result.empty() && result != type)
                        return {};
                    result = type;
                }
            return result;
        }
        static const std::set<std::string, std::less<>> constructors = {"float", "vec2", "vec3", "vec4", "int",
                                                                        "bool",  "mat2", "mat3", "mat4"};
        static const std::set<std::string, std::less<>> to_float = {"length", "distance", "dot"};
        // Each of these takes and gives one float type only (genFType), or in min, max, abs,
        // clamp and sign the type of its first argument.
        static const std::set<std::string, std::less<>> like_first = {
            "sin",  "cos",        "tan",       "asin",        "acos",  "atan", "pow",   "exp",   "log",
            "exp2", "log2",       "sqrt",      "inversesqrt", "floor", "ceil", "fract", "mod",   "mix",
            "step", "smoothstep", "normalize", "reflect",     "min",   "max",  "abs",   "clamp", "sign"};
        if (constructors.contains(callee.text) || members_.contains(callee.text))
            return callee.text;
        if (to_float.contains(callee.text))
            return "float";
        if (like_first.contains(callee.text) && arguments > 0)
        {
            std::string first = type_of(*expr.operands[1]);
            return float_based(first) && !first.starts_with("mat") ? first : std::string();
        }
        return {};
    }

    std::map<const Symbol*, std::string> variables_;
    std::map<std::string, std::map<std::string, std::string>> members_;
    std::map<const Symbol*, std::vector<std::pair<std::size_t, std::string>>> results_;
};

// A float literal, perhaps negated, that an integer literal may spell where the int converts
// implicitly to float; left as it is where that integer would be no shorter or -0.
bool spell_as_integer(Expr& expr)
{
    std::string before = expr.kind == ExprKind::Prefix ? expr.operands[0]->text : expr.text;
    use_integer_spelling(expr, false);
    return (expr.kind == ExprKind::Prefix ? expr.operands[0]->text : expr.text) != before;
}

bool is_float_literal(const Expr& expr)
{
    if (expr.kind == ExprKind::Prefix && expr.text == "-")
        return is_float_literal(*expr.operands[0]);
    return expr.kind == ExprKind::Literal && !integer_spelling(expr.text).empty();
}

// min has float and integer overloads, each with one base type in every argument: once one
// argument is certainly a float, a float overload is the only one an int argument converts to.
// (max, clamp, pow and the others take ints the same way, but measured in the packed
// executable their literals compress better left as floats.)
void integer_arguments_of_builtin(Expr& call, const TypeInference& types)
{
    static const std::set<std::string, std::less<>> builtins = {"min"};
    const Expr& callee = *call.operands[0];
    if (callee.symbol || callee.kind != ExprKind::Name || call.array || !builtins.contains(callee.text))
        return;
    std::vector<ExprPtr>& arguments = call.operands;
    bool float_argument = std::any_of(arguments.begin() + 1, arguments.end(), [&](const ExprPtr& argument) {
        return !is_float_literal(*argument) && float_based(types.type_of(*argument));
    });
    if (float_argument)
        for (auto argument = arguments.begin() + 1; argument != arguments.end(); ++argument)
            if (is_float_literal(**argument))
                spell_as_integer(**argument);
}

void integer_operands_in(Expr& expr, const TypeInference& types)
{
    for (ExprPtr& operand : expr.operands)
        integer_operands_in(*operand, types);
    if (expr.kind == ExprKind::Call)
        integer_arguments_of_builtin(expr, types);
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
        std::string type = types.type_of(other);
        return arithmetic ? float_based(type) : type == "float";
    };
    if (!arithmetic && !comparison && !assignment)
        return;
    if (is_float_literal(right) && takes_integer(left))
        spell_as_integer(right);
    else if (!assignment && is_float_literal(left) && takes_integer(right))
        spell_as_integer(left);
}

void integer_operands_in(Declaration& declaration, const TypeInference& types)
{
    for (Declarator& declarator : declaration.declarators)
        if (declarator.initializer)
        {
            integer_operands_in(*declarator.initializer, types);
            if (declaration.type.name == "float" && !declaration.type.array && !declarator.array &&
                is_float_literal(*declarator.initializer))
                spell_as_integer(*declarator.initializer);
        }
}

void integer_operands_in(Stmt& stmt, const TypeInference& types, const std::string& result)
{
    if (stmt.declaration)
        integer_operands_in(*stmt.declaration, types);
    if (stmt.expr)
    {
        integer_operands_in(*stmt.expr, types);
        if (stmt.kind == StmtKind::Return && result == "float" && is_float_literal(*stmt.expr))
            spell_as_integer(*stmt.expr);
    }
    if (stmt.step)
        integer_operands_in(*stmt.step, types);
    for (StmtPtr& child : stmt.children)
        integer_operands_in(*child, types, result);
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

void use_integer_operands_of_floats(Program& program)
{
    TypeInference types(program);
    for (External& external : program.externals)
    {
        if (external.declaration)
            integer_operands_in(*external.declaration, types);
        if (external.function && external.function->body)
            integer_operands_in(*external.function->body, types,
                                external.function->result.name + (external.function->result.array ? "[]" : ""));
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
    visit(program, [&](Expr& expr, bool in_array_size) {
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
