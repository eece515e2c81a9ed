// Compact GLSL printer of the shader packer: the tree written back with short names, shortest
// literals and no character the meaning does not need.
#pragma once

#include "glsl_syntax.h"

#include <cstddef>
#include <string>
#include <vector>

namespace shader_packer::glsl {

// Writes the program in compact form. With placeholders, renamable names print as nothing,
// which leaves the text whose letters the short names should echo.
std::string print_compact(const Program& program, bool placeholders = false);

// Where print_compact wrote a short name: its offset in the text, and whose name it is.
struct NamePlace
{
    std::size_t offset;
    const Symbol* symbol;
};

// The compact form, listing where each short name was written.
std::string print_compact(const Program& program, std::vector<NamePlace>& places);

// The compact form, with the source line of each of its characters: a token's own line (an
// inlined function's where the function is written), for what the printer adds (a space,
// parentheses, separators) the line of the node it belongs to.
std::string print_compact(const Program& program, std::vector<int>& source_lines);

// The length of the compact form once every name the renamer names has one letter: what the
// passes that rewrite the tree measure their choices by.
std::size_t compact_length(const Program& program);

// One expression in compact form, as it would stand as an initializer.
std::string print_compact(const Expr& expr);

} // namespace shader_packer::glsl
