// Word lists of GLSL 4.50: keywords, reserved words, built-in types, functions and variables;
// the float types and the types of literals.
#include "glsl_vocabulary.h"

#include <map>
#include <set>

namespace shader_packer::glsl {

namespace {

using WordSet = std::set<std::string, std::less<>>;

const WordSet qualifiers = {
    "attribute", "buffer", "centroid", "coherent",      "const",   "flat",    "highp",    "in",        "inout",
    "invariant", "lowp",   "mediump",  "noperspective", "out",     "patch",   "precise",  "readonly",  "restrict",
    "sample",    "shared", "smooth",   "subroutine",    "uniform", "varying", "volatile", "writeonly",
};

const WordSet statement_words = {
    "break", "case",   "continue",  "default", "discard", "do",     "else", "false", "for",
    "if",    "layout", "precision", "return",  "struct",  "switch", "true", "while",
};

// Reserved for future use: a declaration with one of these names does not compile.
const WordSet reserved_words = {
    "active", "asm",       "cast",   "class",    "common",        "enum",     "extern",    "external",
    "filter", "fixed",     "fvec2",  "fvec3",    "fvec4",         "goto",     "half",      "hvec2",
    "hvec3",  "hvec4",     "inline", "input",    "interface",     "long",     "namespace", "noinline",
    "output", "partition", "public", "resource", "sampler3DRect", "short",    "sizeof",    "static",
    "superp", "template",  "this",   "typedef",  "union",         "unsigned", "using",
};

const WordSet builtin_functions = {
    "abs",
    "acos",
    "acosh",
    "all",
    "any",
    "asin",
    "asinh",
    "atan",
    "atanh",
    "atomicAdd",
    "atomicAnd",
    "atomicCompSwap",
    "atomicCounter",
    "atomicCounterDecrement",
    "atomicCounterIncrement",
    "atomicExchange",
    "atomicMax",
    "atomicMin",
    "atomicOr",
    "atomicXor",
    "barrier",
    "bitCount",
    "bitfieldExtract",
    "bitfieldInsert",
    "bitfieldReverse",
    "ceil",
    "clamp",
    "cos",
    "cosh",
    "cross",
    "dFdx",
    "dFdxCoarse",
    "dFdxFine",
    "dFdy",
    "dFdyCoarse",
    "dFdyFine",
    "degrees",
    "determinant",
    "distance",
    "dot",
    "EmitStreamVertex",
    "EmitVertex",
    "EndPrimitive",
    "EndStreamPrimitive",
    "equal",
    "exp",
    "exp2",
    "faceforward",
    "findLSB",
    "findMSB",
    "floatBitsToInt",
    "floatBitsToUint",
    "floor",
    "fma",
    "fract",
    "frexp",
    "ftransform",
    "fwidth",
    "fwidthCoarse",
    "fwidthFine",
    "greaterThan",
    "greaterThanEqual",
    "groupMemoryBarrier",
    "imageAtomicAdd",
    "imageAtomicAnd",
    "imageAtomicCompSwap",
    "imageAtomicExchange",
    "imageAtomicMax",
    "imageAtomicMin",
    "imageAtomicOr",
    "imageAtomicXor",
    "imageLoad",
    "imageSamples",
    "imageSize",
    "imageStore",
    "imulExtended",
    "intBitsToFloat",
    "interpolateAtCentroid",
    "interpolateAtOffset",
    "interpolateAtSample",
    "inverse",
    "inversesqrt",
    "isinf",
    "isnan",
    "ldexp",
    "length",
    "lessThan",
    "lessThanEqual",
    "log",
    "log2",
    "matrixCompMult",
    "max",
    "memoryBarrier",
    "memoryBarrierAtomicCounter",
    "memoryBarrierBuffer",
    "memoryBarrierImage",
    "memoryBarrierShared",
    "min",
    "mix",
    "mod",
    "modf",
    "noise1",
    "noise2",
    "noise3",
    "noise4",
    "normalize",
    "not",
    "notEqual",
    "outerProduct",
    "packDouble2x32",
    "packHalf2x16",
    "packSnorm2x16",
    "packSnorm4x8",
    "packUnorm2x16",
    "packUnorm4x8",
    "pow",
    "radians",
    "reflect",
    "refract",
    "round",
    "roundEven",
    "sign",
    "sin",
    "sinh",
    "smoothstep",
    "sqrt",
    "step",
    "tan",
    "tanh",
    "texelFetch",
    "texelFetchOffset",
    "texture",
    "textureGather",
    "textureGatherOffset",
    "textureGatherOffsets",
    "textureGrad",
    "textureGradOffset",
    "textureLod",
    "textureLodOffset",
    "textureOffset",
    "textureProj",
    "textureProjGrad",
    "textureProjGradOffset",
    "textureProjLod",
    "textureProjLodOffset",
    "textureProjOffset",
    "textureQueryLevels",
    "textureQueryLod",
    "textureSamples",
    "textureSize",
    "transpose",
    "trunc",
    "uaddCarry",
    "uintBitsToFloat",
    "umulExtended",
    "unpackDouble2x32",
    "unpackHalf2x16",
    "unpackSnorm2x16",
    "unpackSnorm4x8",
    "unpackUnorm2x16",
    "unpackUnorm4x8",
    "usubBorrow",
};

const WordSet pure_builtin_functions = {
    "abs",
    "acos",
    "acosh",
    "all",
    "any",
    "asin",
    "asinh",
    "atan",
    "atanh",
    "bitCount",
    "bitfieldExtract",
    "bitfieldInsert",
    "bitfieldReverse",
    "ceil",
    "clamp",
    "cos",
    "cosh",
    "cross",
    "degrees",
    "determinant",
    "distance",
    "dot",
    "equal",
    "exp",
    "exp2",
    "faceforward",
    "findLSB",
    "findMSB",
    "floatBitsToInt",
    "floatBitsToUint",
    "floor",
    "fma",
    "fract",
    "greaterThan",
    "greaterThanEqual",
    "intBitsToFloat",
    "inverse",
    "inversesqrt",
    "isinf",
    "isnan",
    "ldexp",
    "length",
    "lessThan",
    "lessThanEqual",
    "log",
    "log2",
    "matrixCompMult",
    "max",
    "min",
    "mix",
    "mod",
    "normalize",
    "not",
    "notEqual",
    "outerProduct",
    "packDouble2x32",
    "packHalf2x16",
    "packSnorm2x16",
    "packSnorm4x8",
    "packUnorm2x16",
    "packUnorm4x8",
    "pow",
    "radians",
    "reflect",
    "refract",
    "round",
    "roundEven",
    "sign",
    "sin",
    "sinh",
    "smoothstep",
    "sqrt",
    "step",
    "tan",
    "tanh",
    "transpose",
    "trunc",
    "uintBitsToFloat",
    "unpackDouble2x32",
    "unpackHalf2x16",
    "unpackSnorm2x16",
    "unpackSnorm4x8",
    "unpackUnorm2x16",
    "unpackUnorm4x8",
};

const std::map<std::string, std::string, std::less<>> builtin_variable_types = {
    {"gl_FragCoord", "vec4"}, {"gl_FragDepth", "float"},   {"gl_FrontFacing", "bool"}, {"gl_HelperInvocation", "bool"},
    {"gl_InstanceID", "int"}, {"gl_Layer", "int"},         {"gl_PointCoord", "vec2"},  {"gl_PointSize", "float"},
    {"gl_Position", "vec4"},  {"gl_PrimitiveID", "int"},   {"gl_SampleID", "int"},     {"gl_SamplePosition", "vec2"},
    {"gl_VertexID", "int"},   {"gl_ViewportIndex", "int"},
};

const WordSet float_types = {
    "float",  "vec2",   "vec3",   "vec4",   "mat2",   "mat3",   "mat4",   "mat2x2",
    "mat2x3", "mat2x4", "mat3x2", "mat3x3", "mat3x4", "mat4x2", "mat4x3", "mat4x4",
};

const WordSet plain_types = {"atomic_uint", "bool", "double", "float", "int", "uint", "void"};

// Vectors and matrices: [bdiu]vec2..4, [d]mat2..4 and [d]matNxM.
bool is_vector_or_matrix(std::string_view word)
{
    if (!word.empty() && std::string_view("bdiu").find(word[0]) != std::string_view::npos && word.substr(1, 3) == "vec")
        word.remove_prefix(1);
    else if (word.starts_with("dmat"))
        word.remove_prefix(1);
    auto is_size = [](char c) { return c >= '2' && c <= '4'; };
    if (word.size() == 4 && word.starts_with("vec"))
        return is_size(word[3]);
    if (word.size() == 4 && word.starts_with("mat"))
        return is_size(word[3]);
    return word.size() == 6 && word.starts_with("mat") && is_size(word[3]) && word[4] == 'x' && is_size(word[5]);
}

// Samplers and images with any dimension suffix, in float, int and uint flavours.
bool is_opaque_type(std::string_view word)
{
    if (word.starts_with("i") || word.starts_with("u"))
        word.remove_prefix(1);
    return word.starts_with("sampler") || word.starts_with("image") || word == "subpassInput";
}

bool contains(const WordSet& set, std::string_view word)
{
    return set.find(word) != set.end();
}

} // namespace

bool is_qualifier(std::string_view word)
{
    return contains(qualifiers, word);
}

bool is_builtin_type(std::string_view word)
{
    return contains(plain_types, word) || is_vector_or_matrix(word) || is_opaque_type(word);
}

bool is_builtin_function(std::string_view word)
{
    return contains(builtin_functions, word);
}

bool is_pure_builtin_function(std::string_view word)
{
    return contains(pure_builtin_functions, word);
}

std::string builtin_variable_type(std::string_view name)
{
    auto found = builtin_variable_types.find(name);
    return found == builtin_variable_types.end() ? std::string() : found->second;
}

bool is_float_type(std::string_view word)
{
    return contains(float_types, word);
}

bool is_matrix_type(std::string_view word)
{
    return is_vector_or_matrix(word) && word.find("mat") != std::string_view::npos;
}

std::string literal_type(std::string_view literal)
{
    if (literal == "true" || literal == "false")
        return "bool";
    bool is_hex = literal.starts_with("0x") || literal.starts_with("0X");
    if (!is_hex && literal.find_first_of(".eE") != std::string_view::npos)
        return literal.ends_with("lf") || literal.ends_with("LF") ? "double" : "float";
    return literal.ends_with("u") || literal.ends_with("U") ? "uint" : "int";
}

bool is_keyword(std::string_view word)
{
    return is_qualifier(word) || is_builtin_type(word) || contains(statement_words, word) ||
           contains(reserved_words, word);
}

bool is_reserved_name(std::string_view word)
{
    return is_keyword(word) || is_builtin_function(word) || word.starts_with("gl_") ||
           word.find("__") != std::string_view::npos;
}

std::string parameter_shape(std::string_view type_name, std::string_view array_suffix)
{
    std::string shape(type_name);
    if (type_name == "float" || type_name == "int" || type_name == "uint" || type_name == "double")
        shape = "numeric1";
    else if (is_vector_or_matrix(type_name))
    {
        std::string_view size = type_name.substr(type_name.find_first_of("234"));
        bool is_bool = type_name.starts_with("b");
        bool is_matrix = is_matrix_type(type_name);
        shape = std::string(is_bool ? "bool" : is_matrix ? "matrix" : "numeric") + std::string(size);
        if (is_matrix && size.size() == 1)
            shape += "x" + std::string(size);
    }
    else if (type_name == "bool")
        shape = "bool1";
    return shape + std::string(array_suffix);
}

} // namespace shader_packer::glsl
