// GLSL 4.50 vocabulary the packer must recognise and never rename: keywords, qualifiers,
// built-in types, functions and variables; and the types of literals and of float values.
#pragma once

#include <string>
#include <string_view>

namespace shader_packer::glsl {

// Storage, parameter, interpolation, precision and memory qualifiers.
bool is_qualifier(std::string_view word);

// Scalar, vector, matrix, sampler, image and other opaque built-in types, void included.
bool is_builtin_type(std::string_view word);

// An explicitly sized type of the extensions for 8, 16 and 64-bit arithmetic: int8_t, float16_t,
// u64vec2, f16mat3 and the like.
bool is_sized_type(std::string_view word);

// A word that names no value: keywords, qualifiers, reserved words and built-in types.
bool is_keyword(std::string_view word);

// A built-in function of GLSL 4.50.
bool is_builtin_function(std::string_view word);

// A built-in function whose value follows from its arguments alone and that changes nothing, so
// that a call may be moved, dropped or repeated: the angle, exponential, common, geometric,
// matrix, relational, bit and packing functions, less those with out parameters (modf, frexp,
// uaddCarry and the like). Derivatives, texture and image access, atomics, barriers, noise and
// the geometry stage's emits are not among them.
bool is_pure_builtin_function(std::string_view word);

// The type of a built-in variable of the vertex or fragment stage ("vec4" for gl_FragCoord);
// empty for any other name.
std::string builtin_variable_type(std::string_view name);

// Single-precision float scalar, vector and matrix types: float, vec2 to vec4, mat2 to mat4x4.
bool is_float_type(std::string_view word);

// Matrix types of any base: mat2 to mat4x4, dmat2 to dmat4x4.
bool is_matrix_type(std::string_view word);

// The type a number or boolean literal denotes: "bool", "int", "uint", "float" or "double".
std::string literal_type(std::string_view literal);

// A name the program may not declare: keywords, reserved words, built-in types, functions and
// variables, anything starting with "gl_" or holding "__".
bool is_reserved_name(std::string_view word);

// The class of arguments a parameter of this type accepts through GLSL's implicit conversions:
// "numeric3" for float, int, uint and double 3-vectors alike, the type itself otherwise.
// Overloads whose shapes differ at some position can never match the same call.
std::string parameter_shape(std::string_view type_name, std::string_view array_suffix);

} // namespace shader_packer::glsl
