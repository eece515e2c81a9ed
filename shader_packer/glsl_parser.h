// GLSL parser of the shader packer: source text into the tree of glsl_syntax.h.
#pragma once

#include "glsl_syntax.h"

#include <string_view>

namespace shader_packer::glsl {

// Parses a whole translation unit and binds every name to its declaration: variables, functions
// and structs by GLSL's scope rules, fields by the type of what they are taken from (a field whose
// struct cannot be told keeps every member of that name as declared). The entry point main keeps
// its name. The text is first preprocessed (see lex); a conditional block that a host decides
// stays as directive lines among the declarations and statements, and a name declared in several
// of its branches is one symbol. Throws support::LineError.
Program parse(std::string_view source);

} // namespace shader_packer::glsl
