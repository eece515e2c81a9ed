// GLSL 4.50 vocabulary the packer must recognise and never rename: keywords, qualifiers,
// built-in types, functions and variables.
#pragma once

#include <string>
#include <string_view>

namespace shader_packer::glsl {

// Storage, parameter, interpolation, precision and memory qualifiers.
bool is_qualifier(std::string_view word);

// Scalar, vector, matrix, sampler, image and other opaque built-in types, void included.
bool is_builtin_type(std::string_view word);

// A word that names no value: keywords, qualifiers, reserved words and built-in types.
bool is_keyword(std::string_view word);

// A name the program may not declare: keywords, reserved words, built-in types, functions and
// variables, anything starting with "gl_" or holding "__".
bool is_reserved_name(std::string_view word);

// The class of arguments a parameter of this type accepts through GLSL's implicit conversions:
// "numeric3" for float, int, uint and double 3-vectors alike, the type itself otherwise.
// Overloads whose shapes differ at some position can never match the same call.
std::string parameter_shape(std::string_view type_name, std::string_view array_suffix);

} // namespace shader_packer::glsl
