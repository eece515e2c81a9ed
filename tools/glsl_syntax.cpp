// Operator precedence shared by the GLSL parser and the compact printer.
#include "glsl_syntax.h"

#include <array>
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

} // namespace shader_packer::glsl
