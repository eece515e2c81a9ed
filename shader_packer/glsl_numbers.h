// The shortest spelling of GLSL number literals, which the printer writes and the transforms
// weigh other spellings against.
#pragma once

#include <string>
#include <string_view>

namespace shader_packer::glsl {

// The shortest spelling of a GLSL number literal with the same decimal value and type:
// "0.0" -> "0.", "0.05" -> ".05", "100.0" -> "1e2". Integer literals come back unchanged.
std::string shortest_number(std::string_view literal);

} // namespace shader_packer::glsl
