// Type inference over the GLSL tree: declared types of names, members and function results, and
// the built-in rules for literals, swizzles, operators, constructors and float functions.
#include "glsl_type_inference.h"

#include "glsl_vocabulary.h"

#include <algorithm>
#include <set>

namespace shader_packer::glsl {

namespace {

bool is_float_vector(const std::string& type)
{
    return is_float_type(type) && type != "float" && !is_matrix_type(type);
}

// A name declared in several branches of a conditional block with other types in each has no
// certain type.
template <class Key>
void declare(std::map<Key, std::string>& types, const Key& name, const std::string& type)
{
    auto [known, added] = types.emplace(name, type);
    if (!added && known->second != type)
        known->second.clear();
}

std::string element_type(const std::string& base)
{
    if (base.ends_with("[]"))
        return base.substr(0, base.size() - 2);
    return is_float_vector(base) ? "float" : "";
}

} // namespace

TypeInference::TypeInference(Program& program)
{
    for_each_declaration(program, [&](Declaration& declaration) {
        if (declaration.structure)
            add_members(*declaration.structure);
        // Qualifiers given to variables declared before name no type.
        for (const Declarator& declarator : declaration.declarators)
            if (!declaration.type.name.empty())
                declare(variables_, declarator.symbol, type_name(declaration.type, declarator.array));
    });
    for (External& external : program.externals)
    {
        if (external.structure)
            add_members(*external.structure);
        if (external.function)
        {
            Function& function = *external.function;
            results_[function.symbol].emplace_back(function.parameters.size(), type_name(function.result, {}));
            for (const Parameter& parameter : function.parameters)
                if (parameter.symbol)
                    declare(variables_, parameter.symbol, type_name(parameter.type, parameter.array));
        }
    }
}

void TypeInference::add_members(const Struct& structure)
{
    for (const StructMember& member : structure.members)
        for (const MemberName& name : member.names)
        {
            std::string type = type_name(member.type, name.array);
            auto [known, added] =
                structs_[struct_type_name(*structure.symbol)].try_emplace(name.symbol->name, type, name.symbol);
            if (!added && known->second.type != type)
                known->second.type.clear();
            if (name.symbol->kind == SymbolKind::Variable)
                declare(variables_, name.symbol, type);
        }
}

std::string TypeInference::type_of(const Expr& expr) const
{
    switch (expr.kind)
    {
    case ExprKind::Literal:
        return literal_type(expr.text);
    case ExprKind::Name:
        if (!expr.symbol)
            return builtin_variable_type(expr.text);
        return variables_.contains(expr.symbol) ? variables_.at(expr.symbol) : std::string();
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

const Symbol* TypeInference::member_of(const Expr& field) const
{
    auto structure = structs_.find(type_of(*field.operands[0]));
    if (structure == structs_.end())
        return nullptr;
    auto member = structure->second.find(field.text);
    return member == structure->second.end() ? nullptr : member->second.symbol;
}

std::string TypeInference::field_type(const std::string& base, const std::string& field) const
{
    if (is_float_type(base) && !is_matrix_type(base))
        return field.size() == 1 ? "float" : "vec" + std::to_string(field.size());
    auto structure = structs_.find(base);
    if (structure == structs_.end() || !structure->second.contains(field))
        return {};
    return structure->second.at(field).type;
}

std::string TypeInference::binary_type(const Expr& expr) const
{
    const std::string& op = expr.text;
    std::string left = type_of(*expr.operands[0]), right = type_of(*expr.operands[1]);
    if (op == ",")
        return right;
    if (is_assignment_operator(op))
        return left;
    if (op != "+" && op != "-" && op != "*" && op != "/")
        return binary_operator_level(op) >= 7 && binary_operator_level(op) <= 9 ? std::string("bool") : std::string();
    if (left.empty() || right.empty() || is_matrix_type(left) || is_matrix_type(right))
        return {};
    if (left == right)
        return left;
    if ((left == "int" || left == "float") && is_float_type(right))
        return right;
    if ((right == "int" || right == "float") && is_float_type(left))
        return left;
    return {};
}

std::string TypeInference::call_type(const Expr& expr) const
{
    const Expr& callee = *expr.operands[0];
    std::size_t arguments = expr.operands.size() - 1;
    if (expr.array)
        return {};
    if (callee.symbol && callee.symbol->kind == SymbolKind::Function)
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
    static const std::set<std::string, std::less<>> to_float = {"length", "distance", "dot"};
    // Each of these takes and gives one float type only (genFType), or in min, max, abs, clamp
    // and sign the type of its first argument.
    static const std::set<std::string, std::less<>> like_first = {
        "sin",  "cos",        "tan",       "asin",        "acos",  "atan", "pow",   "exp",   "log",
        "exp2", "log2",       "sqrt",      "inversesqrt", "floor", "ceil", "fract", "mod",   "mix",
        "step", "smoothstep", "normalize", "reflect",     "min",   "max",  "abs",   "clamp", "sign"};
    if (callee.symbol && callee.symbol->kind == SymbolKind::Struct)
        return struct_type_name(*callee.symbol);
    if (is_builtin_type(callee.text))
        return callee.text;
    if (to_float.contains(callee.text))
        return "float";
    if (like_first.contains(callee.text) && arguments > 0)
    {
        std::string first = type_of(*expr.operands[1]);
        return is_float_type(first) && !is_matrix_type(first) ? first : std::string();
    }
    return {};
}

std::string literal_value_type(const Expr& expr)
{
    if (expr.kind == ExprKind::Literal)
        return literal_type(expr.text);
    if (expr.kind == ExprKind::Prefix && expr.text == "-")
    {
        std::string type = literal_value_type(*expr.operands[0]);
        return type == "bool" ? std::string() : type;
    }
    if (expr.kind != ExprKind::Call || expr.array)
        return {};
    const Expr& callee = *expr.operands[0];
    bool literal_arguments = std::all_of(expr.operands.begin() + 1, expr.operands.end(), [](const ExprPtr& argument) {
        return !literal_value_type(*argument).empty();
    });
    return !callee.symbol && is_builtin_type(callee.text) && literal_arguments ? callee.text : std::string();
}

} // namespace shader_packer::glsl
