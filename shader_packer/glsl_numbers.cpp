// Number literals' shortest spellings (see glsl_numbers.h), by exact decimal digits and exponent.
#include "glsl_numbers.h"

#include "glsl_vocabulary.h"

namespace shader_packer::glsl {

namespace {

struct DecimalLiteral
{
    std::string digits; // no leading or trailing zeros; empty for zero
    long exponent = 0;  // value = digits * 10^exponent
    std::string suffix; // "lf" for double, "hf" for float16_t, in either case; float's "f" is dropped
};

DecimalLiteral parse_decimal(std::string_view literal)
{
    DecimalLiteral decimal;
    std::string type = literal_type(literal);
    if (type == "double" || type == "float16_t")
    {
        decimal.suffix = literal.substr(literal.size() - 2);
        literal.remove_suffix(2);
    }
    else if (literal.ends_with("f") || literal.ends_with("F"))
        literal.remove_suffix(1);
    std::size_t e = literal.find_first_of("eE");
    if (e != std::string_view::npos)
    {
        decimal.exponent = std::stol(std::string(literal.substr(e + 1)));
        literal = literal.substr(0, e);
    }
    std::size_t point = literal.find('.');
    if (point != std::string_view::npos)
    {
        decimal.exponent -= static_cast<long>(literal.size() - point - 1);
        decimal.digits = std::string(literal.substr(0, point)) + std::string(literal.substr(point + 1));
    }
    else
        decimal.digits = literal;
    decimal.digits.erase(0, decimal.digits.find_first_not_of('0'));
    while (!decimal.digits.empty() && decimal.digits.back() == '0')
    {
        decimal.digits.pop_back();
        ++decimal.exponent;
    }
    return decimal;
}

// "1200.", "12.5", ".05": digits with the point placed, zeros filled in as needed.
std::string positional(const DecimalLiteral& decimal)
{
    if (decimal.exponent >= 0)
        return decimal.digits + std::string(decimal.exponent, '0') + ".";
    long point = static_cast<long>(decimal.digits.size()) + decimal.exponent;
    if (point > 0)
        return decimal.digits.substr(0, point) + "." + decimal.digits.substr(point);
    return "." + std::string(-point, '0') + decimal.digits;
}

} // namespace

std::string shortest_number(std::string_view literal)
{
    std::string type = literal_type(literal);
    if (type != "float" && type != "double" && type != "float16_t")
        return std::string(literal);
    DecimalLiteral decimal = parse_decimal(literal);
    if (decimal.digits.empty())
        return "0." + decimal.suffix;
    std::string plain = positional(decimal);
    std::string scientific = decimal.digits + "e" + std::to_string(decimal.exponent);
    return (scientific.size() < plain.size() ? scientific : plain) + decimal.suffix;
}

} // namespace shader_packer::glsl
