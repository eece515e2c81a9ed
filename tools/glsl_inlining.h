// Code written where it is used, where that shortens the compact form and every value the
// program computes stays as it was: locals read once, in place of their reads.
#pragma once

#include "glsl_syntax.h"

namespace shader_packer::glsl {

// Writes the initializer of each local variable that is read once in place of that read, and
// drops the variable: "float s=sin(a);x=s*2.;" becomes "x=sin(a)*2.;". Only where the value read
// cannot differ: the initializer is pure (see Effects) and of exactly the declared type, the read
// lies in a later statement of the same block, in the part of it that runs once (an expression
// statement, a declaration, a return, an if's condition; not a loop), and neither the statements
// between nor that part write anything the initializer reads.
// Likewise a local's initializer goes into an assignment of the whole variable right after its
// declaration that reads it once, where both are pure: "vec2 p=q;p=fract(p*2.);" becomes
// "vec2 p=fract(q*2.);".
void substitute_single_use_locals(Program& program);

} // namespace shader_packer::glsl
