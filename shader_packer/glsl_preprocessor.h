// The preprocessing that the shader packer does itself: the shader's own macros expanded where
// they are used and the conditions it can decide decided, the rest left for a host to define.
#pragma once

#include "glsl_lexer.h"

#include <string_view>
#include <vector>

namespace shader_packer::glsl {

// The tokens of source as the packer reads them. Macros that the shader defines outside
// conditional blocks, object-like and function-like, are expanded where they are used, as the
// preprocessor would, and their definitions dropped, so the program's names inside them are
// renamed with the rest. A condition that tests only such macros (and numbers) is decided here:
// its block is replaced by the branch that holds. Any other condition tests what a host may
// define, so its block stays, every branch of it, as directive tokens around the branches'
// tokens, with the shader's own macros written out in the conditions; a macro defined or
// undefined inside such a block is the host's as well and stays a directive, as does an
// "#error" there; one where the shader's text reaches it for every host is refused. Directives
// other than macros and conditions stay as tokens. Throws support::LineError at the line at fault,
// naming what is not supported.
std::vector<Token> lex(std::string_view source);

} // namespace shader_packer::glsl
