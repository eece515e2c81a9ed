// Types of GLSL expressions as far as the program's declarations make them certain: the passes
// change a literal only beside an operand of known type, and the parser binds fields to members.
#pragma once

#include "glsl_syntax.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace shader_packer::glsl {

// The built-in type of a value spelt out in literals, the same whether folded at compile time or
// computed: a literal, a negated number, or a constructor of such values. Empty for anything else.
std::string literal_value_type(const Expr& expr);

// Types of the program's own names, functions and struct members. Types are names, an array's
// ending in "[]"; an empty type is one that is not certain.
class TypeInference
{
public:
    explicit TypeInference(Program& program);

    // The type of expr as the tree now stands, or empty where it is not certain.
    std::string type_of(const Expr& expr) const;

    // The member that a Field expression names, or none where what it is taken from is not
    // certainly a struct of the program's.
    const Symbol* member_of(const Expr& field) const;

private:
    void add_members(const Struct& structure);
    std::string field_type(const std::string& base, const std::string& field) const;
    std::string binary_type(const Expr& expr) const;
    std::string call_type(const Expr& expr) const;

    struct Member
    {
        std::string type;
        const Symbol* symbol;
    };

    std::map<const Symbol*, std::string> variables_;
    std::map<std::string, std::map<std::string, Member>> structs_; // by struct name, then member name
    std::map<const Symbol*, std::vector<std::pair<std::size_t, std::string>>> results_; // arity, type
};

} // namespace shader_packer::glsl
