// GLSL tokens for the shader packer: the tokenizer, and the test of which neighbours need a
// space between them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace shader_packer::glsl {

enum class TokenKind
{
    Word,
    Number,
    Punctuator,
    Directive,
    End
};

struct Token
{
    TokenKind kind;
    std::string text; // a directive holds its whole line, "#version 450"
    int line;
};

// A directive's name with its '#' ("#define"), and what follows it after one space, "" where
// nothing does.
std::string_view directive_name(std::string_view directive);
std::string_view directive_rest(std::string_view directive);

// How a directive line moves the depth of conditional blocks: 1 for "#if", "#ifdef" and
// "#ifndef", -1 for "#endif", 0 for "#elif", "#else" and every other directive.
int conditional_step(std::string_view directive);
bool continues_conditional(std::string_view directive); // "#elif" and "#else"

// Splits source into tokens, dropping comments and whitespace, each directive one token of its
// whole line; a part of a text counts its lines from first_line. Throws support::LineError.
std::vector<Token> tokenize(std::string_view source, int first_line = 1);

// Whether text is one name: a letter or '_', then letters, digits and '_'.
bool is_identifier(std::string_view text);

// How many characters of text the name it starts with takes; 0 where it starts with none.
std::size_t identifier_length(std::string_view text);

// True when a and b, written next to each other, would read back as other tokens.
bool tokens_merge(std::string_view a, std::string_view b);

} // namespace shader_packer::glsl
