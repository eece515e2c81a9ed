// Code written where it is used, where that shortens the compact form and every value the
// program computes stays as it was: locals read once, functions, and arguments that every call
// passes alike, in place of their reads, calls and parameters.
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

// Writes functions in place of their calls where the compact form gets shorter, measured with
// one-letter names, and substitutes single-use locals again after each. A function qualifies
// when it has one definition and no prototype, returns a value, takes only "in" parameters, and
// changes nothing outside its own variables (see Effects); each argument must be pure and of
// exactly its parameter's type. Two shapes:
// - a body that is one "return E;": every call becomes E with the arguments in place of the
//   parameters ("float sq(float v){return v*v;} ... sq(a)" becomes "a*a"); an argument that E
//   reads more than once must be a plain name, literal, field or element;
// - any other body, where the function is called once, in the part of a statement of a block
//   that runs once and not under && || or ?:, everything else that part evaluates being pure:
//   the body goes before that statement, the parameters as locals initialized by the arguments
//   (or, for plain arguments the body never assigns, the arguments written in their place), and
//   the call becomes the final "return E;"'s E. Other returns may stand only inside a loop that
//   ends the body, outside any inner loop, when the final return gives a local: each becomes an
//   assignment of its value to that local and a break.
// Nothing is inlined where the text defines or undefines a host's macro (a "#define" that a
// conditional block keeps): the moved code could pass the definition.
void inline_functions(Program& program);

// Drops a parameter for which every call passes the same value, and writes that value in its
// place in the body, where the text gets shorter: the value must be spelt in literals, or be a
// stage-level variable declared before the function that neither the function nor any
// argument of a call writes, so that the body reads what the call would have passed. The
// parameter must be an "in" one that the body never assigns, of exactly the value's type, and
// the function must have one definition and no prototype. Nothing is written where the text
// defines or undefines a host's macro, as for inline_functions.
void write_shared_arguments_in_place(Program& program);

} // namespace shader_packer::glsl
