// Tree rewrites of the shader packer before printing: each shortens the compact form and leaves
// every value the program computes as it was.
#pragma once

#include "glsl_syntax.h"

#include <set>
#include <string>

namespace shader_packer::glsl {

// Writes the value of each stage-level constant in place of its name and drops its declaration,
// where the values written out take no more characters than the declaration and the one-letter
// name at each use would: "const float far = 20.0; ... march(far)" becomes "march(20.)". The
// constants so treated are not kept, "const" or without any qualifier and never written, with an
// initializer of exactly the declared built-in type spelt in literals: a literal, perhaps
// negated, or a constructor of such values. The same value then stands wherever it is written.
void fold_literal_constants(Program& program);

// Joins each run of neighbouring declarations of one type, in a block or at stage level, into
// one: "float a=1.;float b=a;" becomes "float a=1.,b=a;". Declarations with a layout or with an
// array type stay apart.
void merge_declarations(Program& program);

// Writes integral float literals that are arguments of float scalar, vector and matrix
// constructors as the shorter integer literals the constructor converts exactly: vec3(0.,-6.,.5)
// prints as vec3(0,-6,.5). A negated zero stays a float, as -0 would be +0.
void use_integer_constructor_arguments(Program& program);

// Whether the shader's language converts an int to a float where an operand or a value needs
// one: GLSL from 1.20 on, never GLSL ES nor a text without "#version" (1.10).
bool converts_int_to_float_implicitly(const Program& program);

// Writes integral float literals as the shorter integer literals where the language converts
// the int to float exactly and the meaning stays: an operand of + - * / whose other operand is
// certainly a float scalar, vector or matrix, an operand of a comparison or the value of an
// assignment, initializer or return whose other side is certainly a float scalar. "x<0." prints
// as "x<0", "v*2." as "v*2". Function arguments stay, as an int could pick another overload,
// except those of the built-ins named in integer_argument_functions beside an argument that is
// certainly a float: name only built-ins whose every overload takes one base type in all its
// arguments (min, max, clamp, mix, pow and the like), so that a float overload is the only one
// an int argument converts to; an argument made of literals alone is not certain, and where one
// such argument keeps a fraction the call's literals stay floats, as NVIDIA's compiler finds
// "max(.5,2)" or "clamp(x,.5,1)" ambiguous. -0. stays, as -0 would be +0. Nothing changes where
// the language converts no int implicitly (see converts_int_to_float_implicitly).
void use_integer_operands_of_floats(Program& program, const std::set<std::string>& integer_argument_functions);

// Drops "const" from stage-level float scalar, vector and matrix constants whose initializers
// are spelt out in literals, where no constant expression (array size, other const initializer)
// names them: the value is the same, computed or folded.
void drop_const_from_literal_globals(Program& program);

} // namespace shader_packer::glsl
