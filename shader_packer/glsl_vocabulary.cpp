// Word lists of GLSL 4.50: keywords, reserved words, built-in types, functions and variables;
// the float types and the types of literals.
#include "glsl_vocabulary.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
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

// Every built-in function, and whether it is pure: a call's value depends on its arguments
// alone and it changes nothing (no out parameter, no memory or image write, no derivative of
// neighbouring invocations), so that it may move or go without changing what the shader does.
const std::map<std::string, bool, std::less<>> builtin_functions = {
    {"abs", true},
    {"acos", true},
    {"acosh", true},
    {"all", true},
    {"any", true},
    {"asin", true},
    {"asinh", true},
    {"atan", true},
    {"atanh", true},
    {"atomicAdd", false},
    {"atomicAnd", false},
    {"atomicCompSwap", false},
    {"atomicCounter", false},
    {"atomicCounterDecrement", false},
    {"atomicCounterIncrement", false},
    {"atomicExchange", false},
    {"atomicMax", false},
    {"atomicMin", false},
    {"atomicOr", false},
    {"atomicXor", false},
    {"barrier", false},
    {"bitCount", true},
    {"bitfieldExtract", true},
    {"bitfieldInsert", true},
    {"bitfieldReverse", true},
    {"ceil", true},
    {"clamp", true},
    {"cos", true},
    {"cosh", true},
    {"cross", true},
    {"dFdx", false},
    {"dFdxCoarse", false},
    {"dFdxFine", false},
    {"dFdy", false},
    {"dFdyCoarse", false},
    {"dFdyFine", false},
    {"degrees", true},
    {"determinant", true},
    {"distance", true},
    {"dot", true},
    {"EmitStreamVertex", false},
    {"EmitVertex", false},
    {"EndPrimitive", false},
    {"EndStreamPrimitive", false},
    {"equal", true},
    {"exp", true},
    {"exp2", true},
    {"faceforward", true},
    {"findLSB", true},
    {"findMSB", true},
    {"floatBitsToInt", true},
    {"floatBitsToUint", true},
    {"floor", true},
    {"fma", true},
    {"fract", true},
    {"frexp", false},
    {"ftransform", false},
    {"fwidth", false},
    {"fwidthCoarse", false},
    {"fwidthFine", false},
    {"greaterThan", true},
    {"greaterThanEqual", true},
    {"groupMemoryBarrier", false},
    {"imageAtomicAdd", false},
    {"imageAtomicAnd", false},
    {"imageAtomicCompSwap", false},
    {"imageAtomicExchange", false},
    {"imageAtomicMax", false},
    {"imageAtomicMin", false},
    {"imageAtomicOr", false},
    {"imageAtomicXor", false},
    {"imageLoad", false},
    {"imageSamples", false},
    {"imageSize", false},
    {"imageStore", false},
    {"imulExtended", false},
    {"intBitsToFloat", true},
    {"interpolateAtCentroid", false},
    {"interpolateAtOffset", false},
    {"interpolateAtSample", false},
    {"inverse", true},
    {"inversesqrt", true},
    {"isinf", true},
    {"isnan", true},
    {"ldexp", true},
    {"length", true},
    {"lessThan", true},
    {"lessThanEqual", true},
    {"log", true},
    {"log2", true},
    {"matrixCompMult", true},
    {"max", true},
    {"memoryBarrier", false},
    {"memoryBarrierAtomicCounter", false},
    {"memoryBarrierBuffer", false},
    {"memoryBarrierImage", false},
    {"memoryBarrierShared", false},
    {"min", true},
    {"mix", true},
    {"mod", true},
    {"modf", false},
    {"noise1", false},
    {"noise2", false},
    {"noise3", false},
    {"noise4", false},
    {"normalize", true},
    {"not", true},
    {"notEqual", true},
    {"outerProduct", true},
    {"packDouble2x32", true},
    {"packHalf2x16", true},
    {"packSnorm2x16", true},
    {"packSnorm4x8", true},
    {"packUnorm2x16", true},
    {"packUnorm4x8", true},
    {"pow", true},
    {"radians", true},
    {"reflect", true},
    {"refract", true},
    {"round", true},
    {"roundEven", true},
    {"sign", true},
    {"sin", true},
    {"sinh", true},
    {"smoothstep", true},
    {"sqrt", true},
    {"step", true},
    {"tan", true},
    {"tanh", true},
    {"texelFetch", false},
    {"texelFetchOffset", false},
    {"texture", false},
    {"textureGather", false},
    {"textureGatherOffset", false},
    {"textureGatherOffsets", false},
    {"textureGrad", false},
    {"textureGradOffset", false},
    {"textureLod", false},
    {"textureLodOffset", false},
    {"textureOffset", false},
    {"textureProj", false},
    {"textureProjGrad", false},
    {"textureProjGradOffset", false},
    {"textureProjLod", false},
    {"textureProjLodOffset", false},
    {"textureProjOffset", false},
    {"textureQueryLevels", false},
    {"textureQueryLod", false},
    {"textureSamples", false},
    {"textureSize", false},
    {"transpose", true},
    {"trunc", true},
    {"uaddCarry", false},
    {"uintBitsToFloat", true},
    {"umulExtended", false},
    {"unpackDouble2x32", true},
    {"unpackHalf2x16", true},
    {"unpackSnorm2x16", true},
    {"unpackSnorm4x8", true},
    {"unpackUnorm2x16", true},
    {"unpackUnorm4x8", true},
    {"usubBorrow", false},
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
    auto is_float_flavour = [](std::string_view word) {
        return word.starts_with("sampler") || (word.starts_with("image") && word.size() > 5) ||
               word.starts_with("subpassInput");
    };
    return is_float_flavour(word) ||
           ((word.starts_with("i") || word.starts_with("u")) && is_float_flavour(word.substr(1)));
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
    return contains(plain_types, word) || is_vector_or_matrix(word) || is_opaque_type(word) || is_sized_type(word);
}

bool is_builtin_function(std::string_view word)
{
    return builtin_functions.contains(word);
}

bool is_pure_builtin_function(std::string_view word)
{
    auto found = builtin_functions.find(word);
    return found != builtin_functions.end() && found->second;
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
    auto ends_with = [&](std::string_view suffix) {
        return literal.size() >= suffix.size() &&
               std::equal(suffix.begin(), suffix.end(), literal.end() - suffix.size(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    if (!is_hex && literal.find_first_of(".eE") != std::string_view::npos)
        return ends_with("lf") ? "double" : ends_with("hf") ? "float16_t" : "float";
    for (auto [suffix, type] :
         {std::pair{"ul", "uint64_t"}, {"us", "uint16_t"}, {"u", "uint"}, {"l", "int64_t"}, {"s", "int16_t"}})
        if (ends_with(suffix))
            return type;
    return "int";
}

bool is_sized_type(std::string_view word)
{
    static const std::regex sized("(u?int|float)(8|16|32|64)_t|[iuf](8|16|32|64)(vec[234]|mat[234](x[234])?)");
    return std::regex_match(word.begin(), word.end(), sized);
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
    if (type_name == "float" || type_name == "int" || type_name == "uint" || type_name == "double" ||
        (is_sized_type(type_name) && type_name.ends_with("_t")))
        shape = "numeric1";
    else if (is_sized_type(type_name)) // converts as the vector or matrix of its shape does
        shape = parameter_shape(type_name.substr(type_name.find_first_of("vm")), "");
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
